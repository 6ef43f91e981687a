#pragma once
// A strict reading of one JSON text (RFC 8259) whose top level should be an
// object, made for untrusted datagrams: every byte is checked (string
// escapes, UTF-8, number forms, literals), nesting is limited, nothing is
// allocated, and the top-level members come out as raw spans, so a caller can
// see how a number was written ("1", "1.0", "1e0") and not only its value.

#include <QString>

constexpr int MAX_JSON_DEPTH = 64;

struct JsonSpan {
    const char* begin = nullptr;  // the value's first byte
    int size = 0;
    bool escaped = false;         // a string value with a backslash escape in it
};

// Called for each top-level member; key_begin/key_size are the key's raw
// body (without quotes), key_escaped when it holds a backslash escape.
struct JsonMemberSink {
    virtual void member(const char* key_begin, int key_size, bool key_escaped, const JsonSpan& value) = 0;

protected:
    ~JsonMemberSink() = default;
};

enum class JsonScan { Object, NotObject, Invalid };

// error: what is wrong and where, for an Invalid text ("unexpected end at byte 12").
JsonScan scan_json_object(const char* data, int size, JsonMemberSink& sink, QString& error);

// The text of a string token's body (valid, as scan_json_object checked it).
QString decode_json_string(const char* body, int size, bool escaped);
