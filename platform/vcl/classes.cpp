#include <Classes.hpp>

#include <algorithm>
#include <map>

namespace {

std::map<AnsiString, TMetaClass *> &Registry() {
    static std::map<AnsiString, TMetaClass *> classes;
    return classes;
}

[[noreturn]] void WrongKind(const char *wanted) {
    throw EReadError(AnsiString("Invalid property value: ") + wanted + " expected");
}

} // namespace

void RegisterClass(TMetaClass *Class) {
    Registry()[Class->ClassName] = Class;
}

TMetaClass *FindClass(const AnsiString &ClassName) {
    auto found = Registry().find(ClassName);
    return found == Registry().end() ? nullptr : found->second;
}

__fastcall TComponent::TComponent(TComponent *AOwner) : Owner(AOwner) {
    if (Owner)
        Owner->components_.push_back(this);
}

TComponent::~TComponent() {
    while (!components_.empty()) {
        TComponent *last = components_.back();
        delete last; // removes itself from the list
    }
    if (Owner) {
        auto &siblings = Owner->components_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

TComponent *TComponent::FindComponent(const AnsiString &AName) const {
    for (TComponent *c : components_)
        if (c->Name == AName)
            return c;
    return nullptr;
}

bool TComponent::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    if (PropName == "Name") {
        Name = StoredString(Value);
        return true;
    }
    return PropName == "Tag" || PropName == "DesignSize";
}

bool TComponent::SetEvent(const AnsiString &, const TNotifyEvent &) {
    return false;
}

int StoredInteger(const TStoredValue &Value) {
    if (Value.Kind != TStoredValue::vaInteger)
        WrongKind("integer");
    return static_cast<int>(Value.Integer);
}

bool StoredBoolean(const TStoredValue &Value) {
    if (Value.Kind == TStoredValue::vaIdent && (Value.Text == "True" || Value.Text == "False"))
        return Value.Text == "True";
    WrongKind("True or False");
}

AnsiString StoredString(const TStoredValue &Value) {
    if (Value.Kind != TStoredValue::vaString)
        WrongKind("string");
    return Value.Text;
}

AnsiString StoredIdent(const TStoredValue &Value) {
    if (Value.Kind != TStoredValue::vaIdent)
        WrongKind("identifier");
    return Value.Text;
}

int TStrings::Add(const AnsiString &S) {
    items_.push_back(S);
    return Count() - 1;
}
