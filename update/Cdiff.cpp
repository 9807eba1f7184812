#include "update/Cdiff.h"

#include "update/BaseArchive.h"
#include "base/Digest.h"

#include <zlib.h>

#include <memory>
#include <set>
#include <sstream>
#include <vector>

namespace Update {

using Crypto::Digest;
namespace {

const size_t MaxScriptBytes = 256u << 20;
const size_t SignatureArea = 400;  // the signature and its ':' lie within the patch's last bytes

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool Gunzip(const char* data, size_t size, std::string& out) {
    z_stream zip = {};
    if (inflateInit2(&zip, 16 + MAX_WBITS) != Z_OK) return false;
    zip.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zip.avail_in = static_cast<uInt>(size);
    char buffer[65536];
    int result = Z_OK;
    while (result == Z_OK) {
        zip.next_out = reinterpret_cast<Bytef*>(buffer);
        zip.avail_out = sizeof buffer;
        result = inflate(&zip, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - zip.avail_out);
        if (out.size() > MaxScriptBytes) result = Z_MEM_ERROR;
        if (result == Z_BUF_ERROR && zip.avail_in == 0) break;
    }
    inflateEnd(&zip);
    return result == Z_STREAM_END;
}

std::vector<std::string> Lines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool PlainName(const std::string& name) {
    return !name.empty() && name.size() < 100 && name.find_first_of("/\\:") == std::string::npos && name != "." && name != "..";
}

// "first rest": the first word and what follows the space after it.
bool Word(std::string& text, std::string& word) {
    const size_t space = text.find(' ');
    word = text.substr(0, space);
    text = space == std::string::npos ? std::string() : text.substr(space + 1);
    return !word.empty();
}

bool LineNumber(const std::string& word, size_t count, size_t& number) {
    if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos) return false;
    number = std::stoul(word);
    return number >= 1 && number <= count;
}

bool StartsWith(const std::string& line, const std::string& start) { return line.compare(0, start.size(), start) == 0; }

// A file being edited: its lines as opened, what happens to each, and what is added at its end.
struct OpenFile {
    std::string name;
    std::vector<std::string> lines;
    std::vector<bool> deleted;
    std::vector<std::string> added;
    std::set<size_t> touched;
};

std::string Join(const OpenFile& file) {
    std::string text;
    for (size_t i = 0; i < file.lines.size(); ++i)
        if (!file.deleted[i]) text += file.lines[i] + "\n";
    for (const std::string& line : file.added) text += line + "\n";
    return text;
}

}  // namespace

bool OpenPatch(const std::string& patch, const SigningKey& key, std::string& script, std::wstring& error) {
    const size_t from = patch.size() > SignatureArea ? patch.size() - SignatureArea : 0;
    const size_t colon = patch.rfind(':');
    if (colon == std::string::npos || colon < from) {
        error = L"the patch carries no signature";
        return false;
    }
    std::string signature = patch.substr(colon + 1);
    while (!signature.empty() && (signature.back() == '\n' || signature.back() == '\r')) signature.pop_back();
    const std::vector<uint8_t> digest = Digest::Of(Digest::Sha256, patch.data(), colon);
    if (!VerifyPatchSignature(digest, signature, key)) {
        error = L"the patch's digital signature is wrong";
        return false;
    }
    script.clear();
    if (!Gunzip(patch.data(), colon, script)) {
        error = L"the patch is damaged (its compressed script does not unpack)";
        return false;
    }
    return true;
}

bool ApplyPatch(const std::string& script, std::map<std::string, std::string>& files, std::wstring& error) {
    // The changes, kept apart until the whole script applied: files replaced or made, files removed.
    std::map<std::string, std::string> changed;
    std::set<std::string> removed;
    auto has = [&](const std::string& name) { return changed.count(name) || (files.count(name) && !removed.count(name)); };
    auto content = [&](const std::string& name) -> const std::string& {
        static const std::string none;
        const auto edited = changed.find(name);
        if (edited != changed.end()) return edited->second;
        const auto original = files.find(name);
        return original == files.end() || removed.count(name) ? none : original->second;
    };
    auto put = [&](const std::string& name, std::string text) {
        removed.erase(name);
        changed[name].swap(text);
    };
    std::unique_ptr<OpenFile> open;
    size_t lineNumber = 0;
    auto fail = [&](const std::string& why) {
        error = L"the patch does not fit the base (line " + std::to_wstring(lineNumber) + L": " + Wide(why) + L")";
        return false;
    };
    for (std::string line : Lines(script)) {
        ++lineNumber;
        if (line.empty()) continue;
        std::string command;
        Word(line, command);
        if (command == "OPEN") {
            if (open) return fail("OPEN while " + open->name + " is open");
            if (!PlainName(line)) return fail("OPEN of a name that is not a plain file name");
            open.reset(new OpenFile);
            open->name = line;
            open->lines = Lines(content(line));
            open->deleted.assign(open->lines.size(), false);
        } else if (command == "ADD") {
            if (!open) return fail("ADD without an open file");
            open->added.push_back(line);
        } else if (command == "DEL" || command == "XCHG") {
            if (!open) return fail(command + " without an open file");
            std::string number, start;
            size_t n = 0;
            if (!Word(line, number) || !LineNumber(number, open->lines.size(), n)) return fail(command + " of a line the file does not have");
            if (command == "DEL") start = line;
            else if (!Word(line, start)) return fail("XCHG without the line's start");
            if (!open->touched.insert(n).second) return fail(command + " of a line already changed");
            if (!StartsWith(open->lines[n - 1], start)) return fail(command + " of line " + number + ", which is not the line meant");
            if (command == "DEL") open->deleted[n - 1] = true;
            else open->lines[n - 1] = line;
        } else if (command == "CLOSE") {
            if (!open) return fail("CLOSE without an open file");
            put(open->name, Join(*open));
            open.reset();
        } else if (command == "UNLINK") {
            if (open) return fail("UNLINK while a file is open");
            if (!has(line)) return fail("UNLINK of a file the base does not have");
            changed.erase(line);
            removed.insert(line);
        } else if (command == "MOVE") {
            if (open) return fail("MOVE while a file is open");
            std::string from, to, first, firstStart, last, lastStart;
            if (!Word(line, from) || !Word(line, to) || !Word(line, first) || !Word(line, firstStart) || !Word(line, last) ||
                !Word(line, lastStart) || !PlainName(to) || !has(from) || from == to)
                return fail("MOVE between files the base does not have");
            OpenFile source;
            source.lines = Lines(content(from));
            source.deleted.assign(source.lines.size(), false);
            size_t a = 0, b = 0;
            if (!LineNumber(first, source.lines.size(), a) || !LineNumber(last, source.lines.size(), b) || b < a ||
                !StartsWith(source.lines[a - 1], firstStart) || !StartsWith(source.lines[b - 1], lastStart))
                return fail("MOVE of lines the file does not have");
            std::string moved;
            for (size_t i = a; i <= b; ++i) {
                moved += source.lines[i - 1] + "\n";
                source.deleted[i - 1] = true;
            }
            put(from, Join(source));
            put(to, content(to) + moved);
        } else {
            return fail("unknown command " + command);
        }
        if (files.size() + changed.size() > MaxBaseFiles) return fail("too many files");
    }
    if (open) return fail("the script ends while " + open->name + " is open");
    for (const std::string& name : removed) files.erase(name);
    for (auto& file : changed) files[file.first].swap(file.second);
    return true;
}

}  // namespace Update
