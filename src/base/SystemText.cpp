#include "base/SystemText.h"

#include <cstring>

namespace {
constexpr char16_t escapeBase = 0xDC00;

bool isEscape(char16_t u) {
    return u >= escapeBase + 0x80 && u <= escapeBase + 0xFF;
}

// Length of the valid UTF-8 sequence at b (at most left bytes), or 0 when there is none.
int sequenceLength(const unsigned char* b, qsizetype left) {
    const unsigned char c = b[0];
    int length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1F;
        least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0F;
        least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07;
        least = 0x10000;
    }
    if (length == 0 || length > left)
        return 0;
    for (int k = 1; k < length; ++k) {
        if ((b[k] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (b[k] & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not valid UTF-8.
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}
} // namespace

QString fromSystemBytes(const char* data, qsizetype size) {
    QString text;
    text.reserve(size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    qsizetype run = 0; // start of the valid stretch not yet decoded
    qsizetype i = 0;
    while (i < size) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        const int length = sequenceLength(bytes + i, size - i);
        if (length > 0) {
            i += length;
            continue;
        }
        text += QString::fromUtf8(data + run, i - run);
        text += QChar(static_cast<char16_t>(escapeBase + bytes[i]));
        run = ++i;
    }
    text += QString::fromUtf8(data + run, size - run);
    return text;
}

QByteArray toSystemBytes(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i; // a pair is a character, never an escaped byte
            continue;
        }
        if (!isEscape(u))
            continue;
        bytes += QStringView(text).mid(run, i - run).toUtf8();
        bytes += static_cast<char>(u - escapeBase);
        run = i + 1;
    }
    bytes += QStringView(text).mid(run).toUtf8();
    return bytes;
}

QStringList systemArguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << fromSystemBytes(argv[i], static_cast<qsizetype>(std::strlen(argv[i])));
    return arguments;
}

QString systemErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
