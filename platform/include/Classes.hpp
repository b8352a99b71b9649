// Objects, components and their stored properties, string lists and the
// in-memory byte store.
#pragma once

#include <SysUtils.hpp>
#include <platform/property.h>

#include <functional>
#include <vector>

class TObject {
public:
    virtual ~TObject() = default;
};

typedef std::function<void(TObject *Sender)> TNotifyEvent;

// One value of a stored form description: 12, 'text', clBlue, [fsBold], ('a' 'b').
struct TStoredValue {
    enum TKind { vaInteger, vaString, vaIdent, vaSet, vaList } Kind = vaInteger;
    __int64 Integer = 0;
    AnsiString Text;               // vaString, vaIdent
    std::vector<AnsiString> Items; // vaSet, vaList
};

class TComponent;

// A class that can be created by name from a stored description.
struct TMetaClass {
    const char *ClassName;
    TComponent *(*Create)(TComponent *Owner);
};

template <class T> TMetaClass *ClassOf(const char *name) {
    static TMetaClass meta = {name, [](TComponent *Owner) -> TComponent * { return new T(Owner); }};
    return &meta;
}

#define __classid(T) (::ClassOf<T>(#T))

void RegisterClass(TMetaClass *Class);
TMetaClass *FindClass(const AnsiString &ClassName);

class TPersistent : public TObject {};

// A component is destroyed with its owner, which owns it by name.
class TComponent : public TPersistent {
public:
    explicit __fastcall TComponent(TComponent *AOwner);
    ~TComponent() override;
    TComponent(const TComponent &) = delete;
    TComponent &operator=(const TComponent &) = delete;

    TComponent *FindComponent(const AnsiString &AName) const;
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent *Components(int Index) const { return components_.at(Index); }

    // Stored description: set one property or event; false when the class has none of that name.
    virtual bool SetProperty(const AnsiString &PropName, const TStoredValue &Value);
    virtual bool SetEvent(const AnsiString &EventName, const TNotifyEvent &Handler);
    // Called once the whole description has been read.
    virtual void Loaded() {}

    AnsiString Name;
    TComponent *const Owner;

private:
    std::vector<TComponent *> components_;
};

// Readers for stored values; they raise EReadError on a value of the wrong kind.
int StoredInteger(const TStoredValue &Value);
bool StoredBoolean(const TStoredValue &Value);
AnsiString StoredString(const TStoredValue &Value);
AnsiString StoredIdent(const TStoredValue &Value);

class TStrings : public TPersistent {
public:
    int Add(const AnsiString &S);
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    const AnsiString &operator[](int Index) const { return items_.at(Index); }

private:
    std::vector<AnsiString> items_;
};

class TStringList : public TStrings {};

// A growable byte store in one contiguous block.
class TMemoryStream : public TObject {
    __int64 GetSize() const { return size_; }
    void *GetMemory() const { return memory_; }

public:
    TMemoryStream() = default;
    ~TMemoryStream() override;
    TMemoryStream(const TMemoryStream &) = delete;
    TMemoryStream &operator=(const TMemoryStream &) = delete;

    // Reads the whole file (any kind, pipes included) without ever writing to
    // it. Raises "Cannot open file <name>" when it cannot be opened or read,
    // "Out of memory while expanding memory stream" when memory runs out.
    void LoadFromFile(const AnsiString &FileName);
    // As above, but reads at most MaxSize bytes and returns false, with the
    // store empty, when the file holds more.
    bool LoadFromFile(const AnsiString &FileName, __int64 MaxSize);
    void Clear();

    TReadOnlyProperty<TMemoryStream, __int64, &TMemoryStream::GetSize> Size{this};
    TReadOnlyProperty<TMemoryStream, void *, &TMemoryStream::GetMemory> Memory{this};

private:
    void *memory_ = nullptr;
    __int64 size_ = 0;
};
