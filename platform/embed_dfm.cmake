# cmake -DIN=form.dfm -DOUT=form_dfm.cpp -DCLASS=TForm1 -P embed_dfm.cmake
file(READ ${IN} text)
string(FIND "${text}" ")dfm\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${IN} holds the raw-string delimiter")
endif()
file(WRITE ${OUT} "// Generated from ${IN}; edit that file instead.\n"
    "#include <Forms.hpp>\n"
    "static const char description[] = R\"dfm(${text})dfm\";\n"
    "static const TFormDescriptionRegistration registration(\"${CLASS}\", description);\n")
