// Reads a stored form description, the text form of a .dfm file:
//
//   object Form1: TForm1
//     Caption = 'Download Software V1.0'
//     OnActivate = FormActivate
//     object Gauge: TCGauge
//       Left = 24
//     end
//   end
#include <Forms.hpp>

#include <cctype>
#include <cstring>
#include <memory>

namespace {

struct TObjectText {
    AnsiString Name, ClassName;
    std::vector<std::pair<AnsiString, TStoredValue>> Properties;
    std::vector<TObjectText> Children;
    int Line = 0;
};

class TReader {
public:
    explicit TReader(const char *text) : p_(text) {}

    TObjectText ReadObject() {
        TObjectText object;
        object.Line = line_;
        Expect("object");
        object.Name = Identifier();
        Expect(":");
        object.ClassName = Identifier();
        for (;;) {
            SkipBlanks();
            if (Peek("end")) {
                Expect("end");
                return object;
            }
            if (Peek("object")) {
                object.Children.push_back(ReadObject());
                continue;
            }
            AnsiString name = Identifier();
            Expect("=");
            object.Properties.emplace_back(name, Value());
        }
    }

    void ExpectEnd() {
        SkipBlanks();
        if (*p_)
            Fail("text after the last 'end'");
    }

private:
    [[noreturn]] void Fail(const AnsiString &what) const {
        throw EReadError("Error reading form description, line " + std::to_string(line_) + ": " +
                         what);
    }

    void SkipBlanks() {
        while (*p_ && std::isspace(static_cast<unsigned char>(*p_))) {
            if (*p_ == '\n')
                ++line_;
            ++p_;
        }
    }

    bool Peek(const char *word) {
        SkipBlanks();
        size_t n = std::strlen(word);
        if (std::strncmp(p_, word, n) != 0)
            return false;
        return !std::isalnum(static_cast<unsigned char>(p_[n])) || !std::isalpha(word[0]);
    }

    void Expect(const char *word) {
        if (!Peek(word))
            Fail(AnsiString("'") + word + "' expected");
        p_ += std::strlen(word);
    }

    static bool IdentChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
    }

    AnsiString Identifier() {
        SkipBlanks();
        if (!std::isalpha(static_cast<unsigned char>(*p_)) && *p_ != '_')
            Fail("identifier expected");
        const char *start = p_;
        while (IdentChar(*p_))
            ++p_;
        return AnsiString(start, p_);
    }

    // 'it''s'#13'more' + 'and more', as one string. Pieces join when they
    // touch or when a '+' stands between them; a list holds one per line.
    AnsiString String() {
        AnsiString text;
        SkipBlanks();
        for (;;) {
            if (*p_ == '\'') {
                for (++p_;; ++p_) {
                    if (*p_ == '\0' || *p_ == '\n')
                        Fail("unterminated string");
                    if (*p_ == '\'') {
                        if (p_[1] != '\'')
                            break;
                        ++p_;
                    }
                    text += *p_;
                }
                ++p_;
            } else if (*p_ == '#') {
                ++p_;
                int code = 0, digits = 0;
                for (; std::isdigit(static_cast<unsigned char>(*p_)) && digits < 4; ++p_, ++digits)
                    code = code * 10 + (*p_ - '0');
                if (digits == 0 || code > 255)
                    Fail("bad character code");
                text += static_cast<char>(code);
            } else {
                return text;
            }
            if (*p_ == '\'' || *p_ == '#')
                continue;
            SkipBlanks();
            if (*p_ != '+')
                return text;
            ++p_;
            SkipBlanks();
            if (*p_ != '\'' && *p_ != '#')
                Fail("string expected after '+'");
        }
    }

    TStoredValue Value() {
        SkipBlanks();
        TStoredValue v;
        if (*p_ == '\'' || *p_ == '#') {
            v.Kind = TStoredValue::vaString;
            v.Text = String();
        } else if (*p_ == '-' || std::isdigit(static_cast<unsigned char>(*p_))) {
            bool negative = *p_ == '-';
            if (negative)
                ++p_;
            if (!std::isdigit(static_cast<unsigned char>(*p_)))
                Fail("number expected");
            long long n = 0;
            for (; std::isdigit(static_cast<unsigned char>(*p_)); ++p_) {
                n = n * 10 + (*p_ - '0');
                if (n > 0x7fffffffLL)
                    Fail("number out of range");
            }
            v.Kind = TStoredValue::vaInteger;
            v.Integer = negative ? -n : n;
        } else if (*p_ == '[') {
            ++p_;
            v.Kind = TStoredValue::vaSet;
            for (SkipBlanks(); *p_ != ']'; SkipBlanks()) {
                v.Items.push_back(Identifier());
                SkipBlanks();
                if (*p_ == ',')
                    ++p_;
                else if (*p_ != ']')
                    Fail("']' expected");
            }
            ++p_;
        } else if (*p_ == '(') {
            ++p_;
            v.Kind = TStoredValue::vaList;
            for (SkipBlanks(); *p_ != ')'; SkipBlanks()) {
                if (*p_ != '\'' && *p_ != '#')
                    Fail("string expected in list");
                v.Items.push_back(String());
            }
            ++p_;
        } else {
            v.Kind = TStoredValue::vaIdent;
            v.Text = Identifier();
        }
        return v;
    }

    const char *p_;
    int line_ = 1;
};

struct TPendingEvent {
    TComponent *Component;
    AnsiString Event, Method;
};

[[noreturn]] void NoProperty(const TComponent &c, const AnsiString &prop) {
    throw EReadError("Error reading " + c.Name + "." + prop + ": Property " + prop +
                     " does not exist");
}

void Apply(TComponent &c, const TObjectText &text, std::vector<TPendingEvent> &events) {
    for (const auto &[name, value] : text.Properties) {
        if (name.compare(0, 2, "On") == 0 && value.Kind == TStoredValue::vaIdent) {
            events.push_back({&c, name, value.Text});
            continue;
        }
        bool known = false;
        try {
            known = c.SetProperty(name, value);
        } catch (const EReadError &e) {
            throw EReadError("Error reading " + c.Name + "." + name + ": " + e.Message);
        }
        if (!known)
            NoProperty(c, name);
    }
}

void Create(TForm &form, TWinControl &parent, const TObjectText &text,
            std::vector<TPendingEvent> &events, std::vector<TComponent *> &created) {
    TMetaClass *meta = FindClass(text.ClassName);
    if (meta == nullptr)
        throw EReadError("Class " + text.ClassName + " not found");
    if (form.FindComponent(text.Name))
        throw EReadError("A component named " + text.Name + " already exists");
    TComponent *c = meta->Create(&form);
    c->Name = text.Name;
    created.push_back(c);
    if (auto *control = dynamic_cast<TControl *>(c))
        control->SetParent(&parent);
    Apply(*c, text, events);
    auto *container = dynamic_cast<TWinControl *>(c);
    for (const TObjectText &child : text.Children) {
        if (container == nullptr)
            throw EReadError(text.Name + " cannot hold " + child.Name);
        Create(form, *container, child, events, created);
    }
}

} // namespace

const TNotifyEvent *TPublisher::FindMethod(const AnsiString &MethodName) const {
    auto found = methods_.find(MethodName);
    return found == methods_.end() ? nullptr : &found->second;
}

TComponent *TPublisher::Lookup(const char *FieldName) const {
    return form_.FindComponent(FieldName);
}

void TPublisher::Mismatch(const char *FieldName) const {
    throw EReadError(AnsiString("Field ") + FieldName + " has no component of its class in " +
                     form_.Name);
}

void TForm::ReadDescription(const char *Text) {
    TReader reader(Text);
    TObjectText root = reader.ReadObject();
    reader.ExpectEnd();
    Name = root.Name;
    std::vector<TPendingEvent> events;
    std::vector<TComponent *> created;
    Apply(*this, root, events);
    for (const TObjectText &child : root.Children)
        Create(*this, *this, child, events, created);

    TPublisher published(*this);
    Publish(published);
    for (const TPendingEvent &e : events) {
        const TNotifyEvent *handler = published.FindMethod(e.Method);
        if (handler == nullptr)
            throw EReadError("Error reading " + e.Component->Name + "." + e.Event + ": method " +
                             e.Method + " not found");
        if (!e.Component->SetEvent(e.Event, *handler))
            NoProperty(*e.Component, e.Event);
    }
    for (TComponent *c : created)
        c->Loaded();
    Loaded();
}
