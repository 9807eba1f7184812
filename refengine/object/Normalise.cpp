// Normalised text and web pages, made in one pass over the object's pages.
#include "refengine/object/Normalise.h"

#include "refengine/object/Fields.h"

#include <cstring>

namespace RefEngine {
namespace {

bool Space(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
uint8_t Lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c | 0x20) : c; }

// Where the normalised bytes go: lower case, runs of white space as one space, at most max of them.
class Form {
public:
    Form(size_t max, std::vector<uint8_t>& out) : max_(max), out_(out) {
        out_.clear();
        out_.reserve(std::min<size_t>(max, 1u << 16));
    }
    void Put(uint8_t c) {
        if (Space(c)) {
            if (afterSpace_) return;
            afterSpace_ = true;
            c = ' ';
        } else {
            afterSpace_ = false;
        }
        if (out_.size() >= max_) {
            full_ = true;
            return;
        }
        out_.push_back(Lower(c));
    }
    // A character given by its number: the byte below 256, UTF-8 above.
    void PutCode(uint32_t code) {
        if (code < 0x100) Put(static_cast<uint8_t>(code));
        else PutUtf8(code);
    }
    void PutUtf8(uint32_t code) {
        if (code < 0x80) {
            Put(static_cast<uint8_t>(code));
        } else if (code < 0x800) {
            Put(static_cast<uint8_t>(0xC0 | code >> 6));
            Put(static_cast<uint8_t>(0x80 | (code & 0x3F)));
        } else {
            code = std::min<uint32_t>(code, 0xFFFF);
            Put(static_cast<uint8_t>(0xE0 | code >> 12));
            Put(static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F)));
            Put(static_cast<uint8_t>(0x80 | (code & 0x3F)));
        }
    }
    bool Full() const { return full_; }

private:
    size_t max_;
    std::vector<uint8_t>& out_;
    bool afterSpace_ = false, full_ = false;
};

// The object's bytes a page at a time, with a look at the bytes ahead where a decoding needs them.
class Reader {
public:
    explicit Reader(ByteSource& source) : source_(source), size_(source.Size()) {}
    bool More() const { return at_ < size_; }
    uint8_t Next() {
        if (at_ >= viewEnd_) {
            size_t n = 0;
            view_ = source_.View(at_, n);
            viewStart_ = at_;
            viewEnd_ = at_ + n;
            if (n == 0) {  // the object shrank under the scan
                at_ = size_;
                return 0;
            }
        }
        return view_[at_++ - viewStart_];
    }
    // The byte i places after the one Next gives next, or -1 past the end.
    int Ahead(uint64_t i) {
        const uint64_t p = at_ + i;
        if (p >= size_) return -1;
        if (p >= viewStart_ && p < viewEnd_) return view_[p - viewStart_];
        const uint8_t b = source_.At(p);
        viewEnd_ = 0;  // At may move the pages a view points into
        return b;
    }
    void Skip(uint64_t n) { at_ += n; }

private:
    ByteSource& source_;
    uint64_t size_, at_ = 0, viewStart_ = 0, viewEnd_ = 0;
    const uint8_t* view_ = nullptr;
};

// The hex digits ahead (count of them, from offset), as a number; -1 when they are not all there.
long HexAhead(Reader& in, uint64_t offset, int count) {
    long value = 0;
    for (int i = 0; i < count; ++i) {
        const int c = in.Ahead(offset + static_cast<uint64_t>(i));
        const int d = c < 0 ? -1 : HexDigit(static_cast<char>(c));
        if (d < 0) return -1;
        value = value * 16 + d;
    }
    return value;
}

// Whether the text (lower case) lies ahead, from offset, in any case.
bool TextAhead(Reader& in, uint64_t offset, const char* text) {
    for (size_t i = 0; text[i]; ++i) {
        const int c = in.Ahead(offset + i);
        if (c < 0 || Lower(static_cast<uint8_t>(c)) != static_cast<uint8_t>(text[i])) return false;
    }
    return true;
}

// A character reference after '&' ("lt;", "#65;", "#x41;"): its character, and how many bytes it takes.
bool Reference(Reader& in, uint32_t& code, uint64_t& length) {
    static const struct {
        const char* name;
        uint32_t code;
    } named[] = {{"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"quot;", '"'}, {"apos;", '\''}, {"nbsp;", ' '}};
    if (in.Ahead(0) == '#') {
        const bool hex = in.Ahead(1) == 'x' || in.Ahead(1) == 'X';
        uint64_t i = hex ? 2 : 1;
        uint32_t value = 0;
        int digits = 0;
        for (; digits < 8; ++i, ++digits) {
            const int c = in.Ahead(i);
            const int d = c < 0 ? -1 : hex ? HexDigit(static_cast<char>(c)) : (c >= '0' && c <= '9' ? c - '0' : -1);
            if (d < 0) break;
            value = value * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        }
        if (digits == 0) return false;
        if (in.Ahead(i) == ';') ++i;
        code = value;
        length = i;
        return true;
    }
    for (const auto& entity : named)
        if (TextAhead(in, 0, entity.name)) {
            code = entity.code;
            length = std::strlen(entity.name);
            return true;
        }
    return false;
}

}  // namespace

bool NormaliseText(ByteSource& source, size_t max, std::vector<uint8_t>& out, TextEncoding encoding) {
    Form form(max, out);
    Reader in(source);
    if (encoding == TextEncoding::Bytes) {
        while (in.More() && !form.Full()) form.Put(in.Next());
        return !form.Full();
    }
    in.Skip(2);  // the byte-order mark
    while (in.More() && !form.Full()) {
        const uint8_t first = in.Next();
        if (!in.More()) break;
        const uint8_t second = in.Next();
        const uint32_t code = encoding == TextEncoding::Utf16Le ? first | second << 8 : second | first << 8;
        if (code < 0x80) form.Put(static_cast<uint8_t>(code));
        else form.PutUtf8(code);
    }
    return !form.Full();
}

bool NormaliseHtml(ByteSource& source, size_t max, std::vector<uint8_t>& out) {
    Form form(max, out);
    Reader in(source);
    bool script = false;
    while (in.More() && !form.Full()) {
        const uint8_t c = in.Next();
        if (c == '<') {
            if (TextAhead(in, 0, "script")) script = true;
            else if (TextAhead(in, 0, "/script")) script = false;
        } else if (c == '&') {
            uint32_t code = 0;
            uint64_t length = 0;
            if (Reference(in, code, length)) {
                in.Skip(length);
                form.PutCode(code);
                continue;
            }
        } else if (script && (c == '\\' || c == '%')) {
            // \xHH, \uHHHH, %uHHHH, %HH
            const int kind = in.Ahead(0);
            long value = -1;
            uint64_t length = 0;
            if (c == '\\' && (kind == 'x' || kind == 'X')) value = HexAhead(in, 1, 2), length = 3;
            else if (kind == 'u' || kind == 'U') value = HexAhead(in, 1, 4), length = 5;
            else if (c == '%') value = HexAhead(in, 0, 2), length = 2;
            if (value >= 0) {
                in.Skip(length);
                form.PutCode(static_cast<uint32_t>(value));
                continue;
            }
        }
        form.Put(c);
    }
    return !form.Full();
}

}  // namespace RefEngine
