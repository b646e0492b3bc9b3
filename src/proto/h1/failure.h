// HTTP/1 failures as plain values. The binding layer turns one into the
// matching Python exception (errors/errors.h: wl_raise_h1_failure).
// No Python here.
#pragma once
#include <string>

namespace wl::h1 {

enum class FailCategory : uint8_t {
    Parse,          // malformed head: H1ParseError(kind, message)
    User,           // local misuse: H1UserError(kind, message)
    Incomplete,     // closed before a message completed: H1IncompleteMessageError
    Unexpected,     // bytes where no message was expected: H1UnexpectedMessageError
    Body,           // malformed or truncated body: H1BodyError(io_kind, message)
    Io,             // transport failure: ConnectionClosedError
    Other,          // anything else: H1Error
};

// I/O failure classes that may sit in a failure's cause; turned into the
// io_kind of H1BodyError by lower-snake-casing the class name.
enum class IoClass : uint8_t { None, UnexpectedEof, InvalidInput, InvalidData, Other };

struct Failure {
    FailCategory category = FailCategory::Other;
    const char* kind = nullptr;   // parse kind or user kind (static string)
    std::string description;      // e.g. "error reading a body from connection"
    bool has_cause = false;
    std::string cause;            // cause text appended after ": "
    IoClass io = IoClass::None;   // I/O class of the cause, if any
    const char* io_class_name = nullptr;  // overrides `io` (CamelCase class name)

    std::string message() const {
        if (!has_cause) return description;
        return description + ": " + cause;
    }
};

inline const char* io_class_camel(IoClass c) {
    switch (c) {
        case IoClass::UnexpectedEof: return "UnexpectedEof";
        case IoClass::InvalidInput: return "InvalidInput";
        case IoClass::InvalidData: return "InvalidData";
        case IoClass::Other: return "Other";
        case IoClass::None: break;
    }
    return nullptr;
}

// "UnexpectedEof" -> "unexpected_eof".
inline std::string snake_case(const char* camel) {
    std::string out;
    for (const char* p = camel; *p; ++p) {
        char c = *p;
        if (c >= 'A' && c <= 'Z') {
            if (p != camel) out.push_back('_');
            out.push_back(char(c + 32));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace wl::h1
