// Case-insensitive comparison of ASCII letters only. The manifest's element,
// attribute and device names are ASCII words, and no locale may change what
// they match.
#pragma once

#include <cstddef>

inline wchar_t ToLowerAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Compares the first `length` characters of text with the whole of word.
inline bool EqualsIgnoringAsciiCase(const wchar_t* text, size_t length, const wchar_t* word) {
    size_t i = 0;
    for (; i < length; ++i) {
        if (word[i] == L'\0' || ToLowerAscii(text[i]) != ToLowerAscii(word[i])) {
            return false;
        }
    }
    return word[i] == L'\0';
}

inline bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* word) {
    size_t length = 0;
    while (text[length] != L'\0') {
        ++length;
    }
    return EqualsIgnoringAsciiCase(text, length, word);
}
