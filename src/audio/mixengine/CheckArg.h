// One operand of a failed comparison check, tagged with its kind so that the fatal report
// can print it. Plain value record: no ownership, no locks; it lives only while a report is
// being built on the failing thread.
#pragma once

#include <string>
#include <type_traits>

namespace dr::audiomix {

// Kind codes are printable characters so that an unknown code can be shown in the report.
enum class CheckArgType : char
{
    Int = 'i',
    Long = 'l',
    LongLong = 'L',
    UInt = 'u',
    ULong = 'm',
    ULongLong = 'M',
    Double = 'd',
    CharPtr = 's',
    StdString = 'S',
    VoidPtr = 'p',
};

struct CheckArg
{
    CheckArgType type = CheckArgType::Int;
    union {
        int i;
        long l;
        long long ll;
        unsigned u;
        unsigned long ul;
        unsigned long long ull;
        double d;
        const char *s;
        const std::string *str;
        const void *p;
    } value{};

    // Appends the operand's text; a kind this code does not know is written as
    // "[Invalid CheckArgType:" + code + "]".
    void AppendTo(std::string &out) const;

    static CheckArg From(int v) { return Make(CheckArgType::Int, &Value::i, v); }
    static CheckArg From(long v) { return Make(CheckArgType::Long, &Value::l, v); }
    static CheckArg From(long long v) { return Make(CheckArgType::LongLong, &Value::ll, v); }
    static CheckArg From(unsigned v) { return Make(CheckArgType::UInt, &Value::u, v); }
    static CheckArg From(unsigned long v) { return Make(CheckArgType::ULong, &Value::ul, v); }
    static CheckArg From(unsigned long long v)
    {
        return Make(CheckArgType::ULongLong, &Value::ull, v);
    }
    static CheckArg From(double v) { return Make(CheckArgType::Double, &Value::d, v); }
    static CheckArg From(long double v) { return From(static_cast<double>(v)); }
    static CheckArg From(const char *v) { return Make(CheckArgType::CharPtr, &Value::s, v); }
    static CheckArg From(const std::string &v)
    {
        return Make(CheckArgType::StdString, &Value::str, &v);
    }
    static CheckArg From(const void *v) { return Make(CheckArgType::VoidPtr, &Value::p, v); }

    // Small integers, bool and float widen; enumerations print as their underlying value.
    template <typename T>
    requires(std::is_arithmetic_v<T> && sizeof(T) < sizeof(int)) static CheckArg From(T v)
    {
        return From(static_cast<int>(v));
    }
    static CheckArg From(float v) { return From(static_cast<double>(v)); }
    template <typename T>
    requires std::is_enum_v<T>
    static CheckArg From(T v) { return From(static_cast<std::underlying_type_t<T>>(v)); }
    template <typename T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char>) static CheckArg From(T *v)
    {
        return From(static_cast<const void *>(v));
    }

private:
    using Value = decltype(value);
    template <typename M, typename V> static CheckArg Make(CheckArgType type, M Value::*member, V v)
    {
        CheckArg arg;
        arg.type = type;
        arg.value.*member = v;
        return arg;
    }
};

} // namespace dr::audiomix
