// Mail: a message, or a mailbox of them, whose attachments are encoded as text. MIME parts in base64
// or quoted-printable are decoded, multiparts and attached messages followed to any depth, and
// uuencoded blocks found in any text part; each decoded attachment is a member. The mail is read line
// by line, so a mailbox of any size is read whole with a fixed amount of memory; what is not encoded
// stays part of the mail itself, which is scanned as it is.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ObjectType.h"
#include "refengine/object/Fields.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace RefEngine {
namespace {

// The source's lines, without their line ends; a line longer than Limits::MailLine comes in pieces.
class LineReader {
public:
    explicit LineReader(ByteSource& source) : source_(source) {}
    bool Next(std::string& line) {
        line.clear();
        while (at_ < source_.Size()) {
            size_t size = 0;
            const uint8_t* bytes = source_.View(at_, size);
            if (!bytes || size == 0) {  // unreadable (the file shrank under us): the mail ends here
                at_ = source_.Size();
                break;
            }
            const uint8_t* end = static_cast<const uint8_t*>(std::memchr(bytes, '\n', size));
            const size_t take = end ? static_cast<size_t>(end - bytes) : size;
            const size_t room = Limits::MailLine - line.size();
            if (take > room) {
                line.append(reinterpret_cast<const char*>(bytes), room);
                at_ += room;
                return true;
            }
            line.append(reinterpret_cast<const char*>(bytes), take);
            at_ += take;
            if (end) {
                ++at_;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
        }
        return !line.empty();
    }

private:
    ByteSource& source_;
    uint64_t at_ = 0;
};

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const size_t length = std::strlen(prefix);
    if (text.size() < length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) return false;
    return true;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// A parameter of a header's value (boundary="...", name=...), or empty.
std::string Parameter(const std::string& value, const char* name) {
    const std::string lower = LowerAscii(value), key = std::string(name) + "=";
    for (size_t at = lower.find(key); at != std::string::npos; at = lower.find(key, at + 1)) {
        if (at > 0 && lower[at - 1] != ';' && lower[at - 1] != ' ' && lower[at - 1] != '\t') continue;
        size_t start = at + key.size();
        if (start < value.size() && value[start] == '"') {
            const size_t end = value.find('"', start + 1);
            return value.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        }
        const size_t end = value.find_first_of("; \t", start);
        return value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return std::string();
}

// The last part of a path a mail gives as a file name.
std::string BaseName(const std::string& name) {
    const size_t slash = name.find_last_of("\\/");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

enum class Encoding { None, Base64, QuotedPrintable };

// One part's headers, as far as decoding goes.
struct PartHeaders {
    std::string type, boundary, name;
    Encoding encoding = Encoding::None;
    void Take(const std::string& header) {
        const size_t colon = header.find(':');
        if (colon == std::string::npos) return;
        const std::string field = LowerAscii(Trim(header.substr(0, colon))), value = Trim(header.substr(colon + 1));
        if (field == "content-type") {
            const size_t semicolon = value.find(';');
            type = LowerAscii(Trim(value.substr(0, semicolon)));
            boundary = Parameter(value, "boundary");
            if (name.empty()) name = Parameter(value, "name");
        } else if (field == "content-transfer-encoding") {
            const std::string coding = LowerAscii(value);
            if (coding.find("base64") != std::string::npos) encoding = Encoding::Base64;
            else if (coding.find("quoted-printable") != std::string::npos) encoding = Encoding::QuotedPrintable;
        } else if (field == "content-disposition") {
            const std::string file = Parameter(value, "filename");
            if (!file.empty()) name = file;
        }
    }
};

class MailReader {
public:
    explicit MailReader(MemberSink& sink) : sink_(sink) { buffer_.reserve(Limits::DecodeChunk); }

    void Read(ByteSource& source) {
        LineReader lines(source);
        std::string line;
        bool previousBlank = true;
        while (!stopped_ && lines.Next(line)) {
            Line(line, previousBlank);
            previousBlank = line.empty();
        }
        // The mail ends inside an attachment: cut short when a multipart was still open. The last line
        // end of a body that the mail's end closes is the body's own.
        if (!stopped_) {
            PutPendingLineBreak();
            EndMember(!boundaries_.empty(), "mail cut short inside an attachment");
        }
        if (!stopped_) EndUuencoded(true);
    }

private:
    enum class State { Headers, Body };

    void Line(const std::string& line, bool previousBlank) {
        // A mailbox's next message.
        if (state_ == State::Body && boundaries_.empty() && previousBlank && line.compare(0, 5, "From ") == 0) {
            EndMember(false);
            EndUuencoded(true);
            StartPart();
            return;
        }
        if (state_ == State::Headers) {
            Header(line);
            return;
        }
        if (line.size() >= 2 && line[0] == '-' && line[1] == '-' && Boundary(line)) return;
        if (encoding_ == Encoding::Base64) DecodeBase64(line);
        else if (encoding_ == Encoding::QuotedPrintable) DecodeQuotedPrintable(line);
        else Uuencoded(line);
    }

    void StartPart() {
        state_ = State::Headers;
        headers_ = PartHeaders();
        pending_.clear();
        headerBytes_ = 0;
    }

    void Header(const std::string& line) {
        if (line.empty()) {
            if (!pending_.empty()) headers_.Take(pending_);
            BeginBody();
            return;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !pending_.empty()) {
            if (headerBytes_ < Limits::MailHeaderBytes) pending_ += " " + Trim(line);
        } else {
            if (!pending_.empty()) headers_.Take(pending_);
            pending_ = line;
        }
        headerBytes_ += line.size();
    }

    void BeginBody() {
        state_ = State::Body;
        encoding_ = Encoding::None;
        if (headers_.type.compare(0, 10, "multipart/") == 0 && !headers_.boundary.empty()) {
            if (boundaries_.size() < Limits::MailBoundaries) boundaries_.push_back(headers_.boundary);
            else sink_.Refuse("mail parts nested too deeply", true);
            return;
        }
        if (headers_.type == "message/rfc822") {  // an attached message: its own headers follow
            StartPart();
            return;
        }
        if (headers_.encoding != Encoding::None) {
            encoding_ = headers_.encoding;
            BeginMember(headers_.name.empty() ? "attachment" : BaseName(headers_.name));
        }
    }

    // A boundary line of an open multipart ends the part before it; true when the line was one.
    bool Boundary(const std::string& line) {
        for (size_t level = boundaries_.size(); level-- > 0;) {
            const std::string& boundary = boundaries_[level];
            if (line.compare(2, boundary.size(), boundary) != 0) continue;
            const std::string rest = Trim(line.substr(2 + boundary.size()));
            if (!rest.empty() && rest != "--") continue;
            EndMember(false);
            EndUuencoded(true);
            boundaries_.resize(level + 1);
            if (rest == "--") {
                boundaries_.pop_back();  // the multipart is over: its epilogue is plain text
                state_ = State::Body;
                encoding_ = Encoding::None;
            } else {
                StartPart();
            }
            return true;
        }
        return false;
    }

    void BeginMember(const std::string& name) {
        sink_.Report().archive = true;
        member_ = sink_.Begin(name, 0, UINT64_MAX);
        open_ = true;
        quantum_ = 0;
        bits_ = 0;
        padded_ = false;
        lineBreakPending_ = false;
    }

    void Put(uint8_t byte) {
        if (!member_) return;
        buffer_.push_back(byte);
        if (buffer_.size() >= Limits::DecodeChunk) Flush();
    }

    void Flush() {
        if (member_ && !buffer_.empty() && !sink_.Write(buffer_.data(), buffer_.size())) {
            member_ = false;
            if (sink_.Stopped()) stopped_ = true;
        }
        buffer_.clear();
    }

    void EndMember(bool damaged, const std::string& why = std::string()) {
        if (!open_) return;
        Flush();
        open_ = false;
        if (!member_) return;
        member_ = false;
        if (!sink_.End(damaged, why)) stopped_ = true;
    }

    void DecodeBase64(const std::string& line) {
        for (unsigned char c : line) {
            if (c == '=') padded_ = true;
            const int value = Base64Value(c);
            if (value < 0 || padded_) continue;
            bits_ = (bits_ << 6) | static_cast<uint32_t>(value);
            if (++quantum_ == 4) {
                Put(static_cast<uint8_t>(bits_ >> 16));
                Put(static_cast<uint8_t>(bits_ >> 8));
                Put(static_cast<uint8_t>(bits_));
                quantum_ = 0;
                bits_ = 0;
            }
        }
        if (padded_ && quantum_ > 1) {  // the last bytes before the padding
            bits_ <<= 6 * (4 - quantum_);
            Put(static_cast<uint8_t>(bits_ >> 16));
            if (quantum_ == 3) Put(static_cast<uint8_t>(bits_ >> 8));
            quantum_ = 0;
        }
    }

    // A quoted-printable line's hard line end is written only once the next line of the part comes:
    // the line end before a boundary belongs to the boundary (RFC 2046), not to the part.
    void PutPendingLineBreak() {
        if (!lineBreakPending_) return;
        lineBreakPending_ = false;
        Put('\r');
        Put('\n');
    }

    void DecodeQuotedPrintable(const std::string& line) {
        PutPendingLineBreak();
        std::string text = line;
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
        const bool soft = !text.empty() && text.back() == '=';
        if (soft) text.pop_back();
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '=' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
                Put(static_cast<uint8_t>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
                i += 2;
            } else {
                Put(static_cast<uint8_t>(text[i]));
            }
        }
        lineBreakPending_ = !soft;
    }

    // "begin MODE NAME", the encoded lines, "end".
    void Uuencoded(const std::string& line) {
        if (!uuencoding_) {
            if (line.compare(0, 6, "begin ") != 0) return;
            const size_t mode = line.find_first_not_of(' ', 6);
            if (mode == std::string::npos || !std::isdigit(static_cast<unsigned char>(line[mode]))) return;
            const size_t space = line.find(' ', mode);
            const std::string name = space == std::string::npos ? "uuencoded" : BaseName(Trim(line.substr(space + 1)));
            EndMember(false);
            BeginMember(name.empty() ? "uuencoded" : name);
            uuencoding_ = true;
            return;
        }
        if (line == "end" || line.compare(0, 4, "end ") == 0) {
            EndUuencoded(false);
            return;
        }
        if (line.empty()) return;
        const int length = (static_cast<unsigned char>(line[0]) - 32) & 63;
        int produced = 0;
        for (size_t at = 1; produced < length && at < line.size(); at += 4) {
            uint32_t group = 0;
            for (size_t i = 0; i < 4; ++i) {
                const unsigned char c = at + i < line.size() ? static_cast<unsigned char>(line[at + i]) : '`';
                group = (group << 6) | ((c - 32) & 63);
            }
            for (int shift = 16; shift >= 0 && produced < length; shift -= 8, ++produced) Put(static_cast<uint8_t>(group >> shift));
        }
    }

    void EndUuencoded(bool cut) {
        if (!uuencoding_) return;
        uuencoding_ = false;
        EndMember(cut, "uuencoded file cut short");
    }

    MemberSink& sink_;
    State state_ = State::Headers;
    PartHeaders headers_;
    std::string pending_;  // a header line that may go on in the next
    size_t headerBytes_ = 0;
    std::vector<std::string> boundaries_;
    Encoding encoding_ = Encoding::None;
    bool open_ = false, member_ = false, stopped_ = false, uuencoding_ = false, padded_ = false;
    bool lineBreakPending_ = false;  // a quoted-printable line ended, and its line end is not written yet
    uint32_t bits_ = 0;
    int quantum_ = 0;
    std::vector<uint8_t> buffer_;
};

// The header fields a mail or a mailbox begins with.
bool MailHeader(const std::string& line) {
    static const char* const fields[] = {"from:", "to:", "subject:", "date:", "received:", "return-path:",
                                         "delivered-to:", "message-id:", "mime-version:", "content-type:",
                                         "reply-to:", "sender:", "x-"};
    if (line.compare(0, 5, "From ") == 0) return true;
    for (const char* field : fields)
        if (StartsWithNoCase(line, field)) return true;
    return false;
}

bool Contains(const std::vector<uint8_t>& bytes, const std::string& lowerText) {
    return std::search(bytes.begin(), bytes.end(), lowerText.begin(), lowerText.end(), [](uint8_t a, char b) {
               return std::tolower(a) == b;
           }) != bytes.end();
}

class MailFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        // A first line of a mail's headers (cheap to refuse), and something to decode within the head.
        if (!LooksLikeMail(head.bytes)) return false;
        return Contains(head.bytes, "content-transfer-encoding:") || Contains(head.bytes, "\nbegin ");
    }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override { MailReader(sink).Read(source); }
};

}  // namespace

bool LooksLikeMail(const std::vector<uint8_t>& bytes) {
    const auto firstEnd = std::find(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 1000), '\n');
    return MailHeader(std::string(bytes.begin(), firstEnd));
}

std::unique_ptr<ArchiveFormat> MakeMailFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new MailFormat); }

}  // namespace RefEngine
