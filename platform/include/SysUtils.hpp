// Strings and the exception classes that carry failures to the user.
#pragma once

#include <exception>
#include <string>

#ifndef __fastcall
#define __fastcall
#endif

typedef std::string AnsiString;
typedef long long __int64;

// The base of every failure the program reports; Message is the user's text.
class Exception : public std::exception {
public:
    explicit Exception(const AnsiString &Msg) : Message(Msg) {}
    const char *what() const noexcept override { return Message.c_str(); }
    AnsiString Message;
};

// The silent exception: it unwinds without a message of its own. The platform
// raises it when the program is interrupted.
class EAbort : public Exception {
public:
    explicit EAbort(const AnsiString &Msg = "Operation aborted") : Exception(Msg) {}
};

// A stored form description that cannot be read.
class EReadError : public Exception {
public:
    using Exception::Exception;
};

class EOutOfMemory : public Exception {
public:
    using Exception::Exception;
};
