// Forms and the application object that runs them.
#pragma once

#include <Controls.hpp>

#include <map>

enum TPosition {
    poDesigned,
    poDefault,
    poDefaultPosOnly,
    poDefaultSizeOnly,
    poScreenCenter,
    poDesktopCenter,
    poMainFormCenter,
    poOwnerFormCenter
};

const int ANSI_CHARSET = 0;
const int DEFAULT_CHARSET = 1;

// Hands the names in a stored description to the form's members. Forms list
// their members with the PUBLISHED_* macros below.
class TPublisher {
public:
    explicit TPublisher(TComponent &Form) : form_(Form) {}
    template <class T> void BindField(const char *FieldName, T *&Target) {
        Target = dynamic_cast<T *>(Lookup(FieldName));
        if (Target == nullptr)
            Mismatch(FieldName);
    }
    void BindMethod(const char *MethodName, TNotifyEvent Handler) {
        methods_[MethodName] = Handler;
    }
    const TNotifyEvent *FindMethod(const AnsiString &MethodName) const;

private:
    TComponent *Lookup(const char *FieldName) const;
    [[noreturn]] void Mismatch(const char *FieldName) const;
    TComponent &form_;
    std::map<AnsiString, TNotifyEvent> methods_;
};

#define __published public
#define BEGIN_PUBLISHED void Publish(TPublisher &Published) override {
#define PUBLISHED_FIELD(F) Published.BindField(#F, F);
#define PUBLISHED_METHOD(M) Published.BindMethod(#M, [this](TObject *Sender) { M(Sender); });
#define END_PUBLISHED }

class TForm : public TWinControl {
public:
    explicit __fastcall TForm(TComponent *AOwner) : TWinControl(AOwner) { Visible = false; }
    ~TForm() override;
    bool SetProperty(const AnsiString &PropName, const TStoredValue &Value) override;
    bool SetEvent(const AnsiString &EventName, const TNotifyEvent &Handler) override;

    // Reads the stored description (the text of a .dfm file) into this form.
    void ReadDescription(const char *Text);
    virtual void Publish(TPublisher &) {}

    // Makes the form visible and activates it (OnActivate). Failures in the
    // handler go to Application->HandleException.
    void __fastcall Show();
    // Hides the form; closing the main form ends the application.
    void __fastcall Close();

    // The client area, on the original platform's frame: 4 px borders and a
    // 26 px caption bar.
    int ClientWidth() const { return Width - 8; }
    int ClientHeight() const { return Height - 34; }

    AnsiString Caption;
    TColor Color = clBtnFace;
    TFont Font;
    TPosition Position = poDesigned;
    int PixelsPerInch = 96;
    TNotifyEvent OnActivate;
};

typedef TForm TCustomForm;

class TApplication : public TComponent {
public:
    explicit __fastcall TApplication(TComponent *AOwner) : TComponent(AOwner) {}
    ~TApplication() override;

    void __fastcall Initialize() {}
    // Creates a form of the class and reads its stored description; the first
    // form created becomes the main form.
    template <class T> void __fastcall CreateForm(TMetaClass *InstanceClass, T **Reference) {
        *Reference = nullptr;
        TForm *form = CreateFormInstance(InstanceClass);
        *Reference = dynamic_cast<T *>(form);
    }
    // Shows the main form and dispatches until it closes.
    void __fastcall Run();
    void __fastcall Terminate() { Terminated = true; }
    // The standard error display: the message, with a full stop appended when
    // its last character comes after '.'.
    void __fastcall ShowException(Exception *E);
    // Called from a catch block: shows what was caught (silently for EAbort).
    void __fastcall HandleException(TObject *Sender);

    AnsiString Hint;
    AnsiString Title;
    TForm *MainForm = nullptr;
    bool Terminated = false;
    // The process exit status: 0, 1 once a failure has been shown, 128 + the
    // signal once an interruption has been reported.
    int ExitCode = 0;

private:
    TForm *CreateFormInstance(TMetaClass *InstanceClass);
    void ReportInterruption();
    bool interruptionReported_ = false;
};

extern TApplication *Application;

// Stored descriptions, by form class name; a build step registers each .dfm.
void RegisterFormDescription(const char *ClassName, const char *Text);
const char *FindFormDescription(const AnsiString &ClassName);

struct TFormDescriptionRegistration {
    TFormDescriptionRegistration(const char *ClassName, const char *Text) {
        RegisterFormDescription(ClassName, Text);
    }
};
