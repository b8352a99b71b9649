// Property-like members: `Gauge->Progress = Gauge->Progress + 1` calls the
// owner's getter and setter. A property belongs to its owner and is never
// copied with it.
#pragma once

template <class Owner, class T, T (Owner::*Get)() const, void (Owner::*Set)(T)> class TProperty {
public:
    explicit TProperty(Owner *owner) : owner_(owner) {}
    TProperty(const TProperty &) = delete;
    TProperty &operator=(const TProperty &other) { return *this = T(other); }
    operator T() const { return (owner_->*Get)(); }
    TProperty &operator=(T value) {
        (owner_->*Set)(value);
        return *this;
    }

private:
    Owner *owner_;
};

template <class Owner, class T, T (Owner::*Get)() const> class TReadOnlyProperty {
public:
    explicit TReadOnlyProperty(const Owner *owner) : owner_(owner) {}
    TReadOnlyProperty(const TReadOnlyProperty &) = delete;
    TReadOnlyProperty &operator=(const TReadOnlyProperty &) = delete;
    operator T() const { return (owner_->*Get)(); }

private:
    const Owner *owner_;
};
