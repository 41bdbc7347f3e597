// Code page 936 at the edge. Everything inside the program is UTF-8; texts on the wire and in
// files are zero-terminated GBK bytes in fixed-width fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zq {

// UTF-8 to code page 936. Characters the code page lacks become '?'.
std::string ToAnsi(std::string_view utf8);

// Code page 936 to UTF-8. Bytes that do not decode become U+FFFD.
std::string FromAnsi(std::string_view ansi);

// The text of a fixed-width field: the bytes before the first NUL (or all `width`).
std::string_view FieldText(const char* field, std::size_t width);

// UTF-8 text of a fixed-width GBK field.
std::string FieldToUtf8(const char* field, std::size_t width);

// The longest prefix of `ansi` that is at most `maxBytes` long and does not cut a double-byte
// character in two.
std::string_view CutAnsi(std::string_view ansi, std::size_t maxBytes);

// Copies `ansi` into a field of `width` bytes: cut at a character boundary so that at least
// one NUL terminates it, and zero-padded.
void PutField(char* field, std::size_t width, std::string_view ansi);

}  // namespace zq
