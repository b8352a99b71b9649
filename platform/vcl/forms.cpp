#include <CGauges.h>
#include <ComCtrls.hpp>
#include <Dialogs.hpp>
#include <ExtCtrls.hpp>
#include <Forms.hpp>

#include <platform/frontend.h>
#include <platform/interrupt.h>

#include <csignal>
#include <map>
#include <new>

TApplication *Application = nullptr;

namespace {

std::map<AnsiString, const char *> &Descriptions() {
    static std::map<AnsiString, const char *> descriptions;
    return descriptions;
}

// The classes a stored description may name.
const bool builtInClassesRegistered = [] {
    RegisterClass(__classid(TPageControl));
    RegisterClass(__classid(TTabSheet));
    RegisterClass(__classid(TRadioGroup));
    RegisterClass(__classid(TCGauge));
    return true;
}();

const TCGauge *FindGauge(const TComponent *form) {
    for (int i = 0; form && i < form->ComponentCount(); ++i)
        if (auto *gauge = dynamic_cast<const TCGauge *>(form->Components(i)))
            return gauge;
    return nullptr;
}

AnsiString SignalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "signal " + std::to_string(signal);
    }
}

} // namespace

void RegisterFormDescription(const char *ClassName, const char *Text) {
    Descriptions()[ClassName] = Text;
}

const char *FindFormDescription(const AnsiString &ClassName) {
    auto found = Descriptions().find(ClassName);
    return found == Descriptions().end() ? nullptr : found->second;
}

TForm::~TForm() {
    if (Application && Application->MainForm == this)
        Application->MainForm = nullptr;
}

bool TForm::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    static const std::map<AnsiString, TPosition> positions = {
        {"poDesigned", poDesigned},
        {"poDefault", poDefault},
        {"poDefaultPosOnly", poDefaultPosOnly},
        {"poDefaultSizeOnly", poDefaultSizeOnly},
        {"poScreenCenter", poScreenCenter},
        {"poDesktopCenter", poDesktopCenter},
        {"poMainFormCenter", poMainFormCenter},
        {"poOwnerFormCenter", poOwnerFormCenter},
    };
    if (PropName == "Caption")
        Caption = StoredString(Value);
    else if (PropName == "Color")
        return ColorFromIdent(StoredIdent(Value), Color);
    else if (PropName.compare(0, 5, "Font.") == 0)
        return Font.SetProperty(PropName.substr(5), Value);
    else if (PropName == "Position") {
        auto found = positions.find(StoredIdent(Value));
        if (found == positions.end())
            return false;
        Position = found->second;
    } else if (PropName == "PixelsPerInch")
        PixelsPerInch = StoredInteger(Value);
    else if (PropName == "Visible")
        return false; // a form is shown by the application, not by its description
    else
        return TWinControl::SetProperty(PropName, Value);
    return true;
}

bool TForm::SetEvent(const AnsiString &EventName, const TNotifyEvent &Handler) {
    if (EventName != "OnActivate")
        return false;
    OnActivate = Handler;
    return true;
}

void __fastcall TForm::Show() {
    Visible = true;
    Platform::FrontEnd().ShowForm(*this);
    if (!OnActivate)
        return;
    try {
        OnActivate(this);
    } catch (...) {
        Application->HandleException(this);
    }
}

void __fastcall TForm::Close() {
    Visible = false;
    Platform::FrontEnd().HideForm(*this);
    if (Application && Application->MainForm == this)
        Application->Terminate();
}

TApplication::~TApplication() {
    // The forms go with the components below, after this object has stopped
    // being an application: they must not find it through the global.
    MainForm = nullptr;
    if (Application == this)
        Application = nullptr;
}

TForm *TApplication::CreateFormInstance(TMetaClass *InstanceClass) {
    const char *description = FindFormDescription(InstanceClass->ClassName);
    if (description == nullptr)
        throw EReadError(AnsiString("Resource ") + InstanceClass->ClassName + " not found");
    std::unique_ptr<TComponent> created(InstanceClass->Create(this));
    auto *form = dynamic_cast<TForm *>(created.get());
    if (form == nullptr)
        throw EReadError(AnsiString(InstanceClass->ClassName) + " is not a form");
    form->ReadDescription(description);
    created.release();
    if (MainForm == nullptr)
        MainForm = form;
    return form;
}

void __fastcall TApplication::Run() {
    if (MainForm != nullptr) {
        try {
            MainForm->Show();
            if (!Terminated)
                Platform::FrontEnd().RunLoop(*this);
        } catch (...) {
            HandleException(this);
        }
    }
    if (Platform::Interrupted())
        ReportInterruption();
}

void __fastcall TApplication::ShowException(Exception *E) {
    if (Platform::Interrupted()) {
        ReportInterruption(); // whatever failed, it failed because the run was stopped
        return;
    }
    AnsiString text = E->Message;
    if (!text.empty() && static_cast<unsigned char>(text.back()) > '.')
        text += '.';
    Platform::FrontEnd().ShowError(text, Title);
    if (ExitCode == 0)
        ExitCode = 1;
}

void __fastcall TApplication::HandleException(TObject *) {
    try {
        throw;
    } catch (EAbort &) {
        if (Platform::Interrupted())
            ReportInterruption();
    } catch (Exception &e) {
        ShowException(&e);
    } catch (std::bad_alloc &) {
        EOutOfMemory e("Out of memory");
        ShowException(&e);
    } catch (std::exception &e) {
        Exception wrapped(e.what());
        ShowException(&wrapped);
    }
}

void TApplication::ReportInterruption() {
    if (interruptionReported_)
        return;
    interruptionReported_ = true;
    int signal = Platform::InterruptSignal();
    AnsiString text = "interrupted by " + SignalName(signal);
    const TCGauge *gauge = FindGauge(MainForm);
    if (gauge && gauge->Progress > gauge->MinValue)
        text += " at " + std::to_string(gauge->PercentDone) + "% (" +
                std::to_string(gauge->Progress - gauge->MinValue) + " of " +
                std::to_string(gauge->MaxValue - gauge->MinValue) + " bytes)";
    else
        text += " before any image data was confirmed";
    text += "; the port is closed and nothing more was sent";
    Platform::FrontEnd().ShowInterrupted(text, Title);
    ExitCode = 128 + signal;
}

void __fastcall ShowMessage(const AnsiString &Msg) {
    if (Platform::Interrupted())
        throw EAbort();
    Platform::FrontEnd().ShowMessage(Msg, Application ? Application->Title : AnsiString());
}
