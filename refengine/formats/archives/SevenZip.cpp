// 7-Zip's archive handlers behind the engine's archive interface: a handler reads the object through a
// stream over its bytes and unpacks every member into the sink as its bytes come out. The handler is
// chosen by the signatures and checks 7-Zip registers for it; a self-extractor's archive is looked for
// in the bytes after the program's image. Memory is bounded by refusing archives that declare larger
// dictionaries than the limit; time, by the sink's limits on the bytes that come out.
// 7-Zip's interfaces are COM's: the system's COM declarations are needed, whatever the project leaves out.
#undef WIN32_LEAN_AND_MEAN
#include "CPP/Common/Common.h"

#include "CPP/7zip/Archive/IArchive.h"
#include "CPP/7zip/IPassword.h"
#include "CPP/Common/MyCom.h"
#include "CPP/Windows/PropVariant.h"

#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/Scratch.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

STDAPI GetNumberOfFormats(UINT32* numFormats);
STDAPI GetHandlerProperty2(UInt32 formatIndex, PROPID propID, PROPVARIANT* value);
STDAPI GetIsArc(UInt32 formatIndex, Func_IsArc* isArc);
STDAPI CreateArchiver(const GUID* clsid, const GUID* iid, void** outObject);

namespace RefEngine {
namespace {

// The formats opened, by 7-Zip's names for their handlers; those whose one member is the whole file
// they compress.
const struct {
    FormatId format;
    const char* handler;
    bool compressedFile;
} Opened[] = {
    {FormatId::SevenZip, "7z", false}, {FormatId::Cab, "Cab", false},     {FormatId::Arj, "Arj", false},
    {FormatId::Chm, "Chm", false},     {FormatId::CompoundFile, "Compound", false}, {FormatId::Cpio, "Cpio", false},
    {FormatId::Gzip, "gzip", true},    {FormatId::Bzip2, "bzip2", true},  {FormatId::Xz, "xz", true},
    {FormatId::Lzma, "lzma", true},    {FormatId::Zstd, "zstd", true},    {FormatId::Z, "Z", true},
    {FormatId::Iso9660, "Iso", false}, {FormatId::Udf, "Udf", false},     {FormatId::Lzh, "Lzh", false},
    {FormatId::Szdd, "MsLZ", true},    {FormatId::Nsis, "Nsis", false},   {FormatId::Tar, "tar", false},
    {FormatId::Rpm, "Rpm", false},     {FormatId::Ar, "Ar", false},       {FormatId::Xar, "Xar", false},
    {FormatId::Wim, "wim", false},
};

// How far into the bytes after a program's image a self-extractor's archive is looked for.

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) {
        const uint32_t c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | ((c >> 12) & 0x0F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Bytes(const PROPVARIANT& prop) {
    if (prop.vt != VT_BSTR || !prop.bstrVal) return std::string();
    return std::string(reinterpret_cast<const char*>(prop.bstrVal), ::SysStringByteLen(prop.bstrVal));
}

// The object's bytes from an offset on, as a stream that 7-Zip reads and seeks in.
Z7_CLASS_IMP_IInStream(SourceStream)
    RefEngine::ByteSource* source_ = nullptr;
    UInt64 base_ = 0, size_ = 0, pos_ = 0;

public:
    void Init(ByteSource& source, UInt64 base) {
        source_ = &source;
        base_ = std::min<UInt64>(base, source.Size());
        size_ = source.Size() - base_;
        pos_ = 0;
    }
};

Z7_COM7F_IMF(SourceStream::Read(void* data, UInt32 size, UInt32* processedSize)) {
    if (processedSize) *processedSize = 0;
    if (pos_ >= size_ || size == 0) return S_OK;
    const size_t want = static_cast<size_t>(std::min<UInt64>(size, size_ - pos_));
    const size_t got = source_->Read(base_ + pos_, static_cast<uint8_t*>(data), want);
    pos_ += got;
    if (processedSize) *processedSize = static_cast<UInt32>(got);
    return got == want ? S_OK : E_FAIL;
}

Z7_COM7F_IMF(SourceStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition)) {
    switch (seekOrigin) {
    case STREAM_SEEK_SET: break;
    case STREAM_SEEK_CUR: offset += static_cast<Int64>(pos_); break;
    case STREAM_SEEK_END: offset += static_cast<Int64>(size_); break;
    default: return STG_E_INVALIDFUNCTION;
    }
    if (offset < 0) return HRESULT_WIN32_ERROR_NEGATIVE_SEEK;
    pos_ = static_cast<UInt64>(offset);
    if (newPosition) *newPosition = pos_;
    return S_OK;
}

// A member's bytes, into the sink.
Z7_CLASS_IMP_COM_1(SinkStream, ISequentialOutStream)
    MemberSink* sink_ = nullptr;

public:
    explicit SinkStream(MemberSink& sink) : sink_(&sink) {}
};

Z7_COM7F_IMF(SinkStream::Write(const void* data, UInt32 size, UInt32* processedSize)) {
    if (processedSize) *processedSize = 0;
    if (!sink_->Write(data, size)) return E_ABORT;
    if (processedSize) *processedSize = size;
    return S_OK;
}

// Opening: no password is known, so a listing that is encrypted cannot be read.
class OpenCallback Z7_final : public IArchiveOpenCallback, public ICryptoGetTextPassword, public CMyUnknownImp {
    Z7_IFACES_IMP_UNK_2(IArchiveOpenCallback, ICryptoGetTextPassword)

public:
    explicit OpenCallback(MemberSink& sink) : sink_(sink) {}
    bool askedForPassword = false;

private:
    MemberSink& sink_;
};

Z7_COM7F_IMF(OpenCallback::SetTotal(const UInt64*, const UInt64*)) { return S_OK; }
Z7_COM7F_IMF(OpenCallback::SetCompleted(const UInt64*, const UInt64*)) { return sink_.Stopped() ? E_ABORT : S_OK; }
Z7_COM7F_IMF(OpenCallback::CryptoGetTextPassword(BSTR*)) {
    askedForPassword = true;
    return E_ABORT;
}

// Unpacking: each member into the sink; an encrypted one is tried with no password and reported.
class ExtractCallback Z7_final : public IArchiveExtractCallback, public ICryptoGetTextPassword, public CMyUnknownImp {
    Z7_IFACES_IMP_UNK_2(IArchiveExtractCallback, ICryptoGetTextPassword)
    Z7_IFACE_COM7_IMP(IProgress)

public:
    ExtractCallback(IInArchive* archive, MemberSink& sink, const std::string& defaultName)
        : archive_(archive), sink_(sink), defaultName_(defaultName) {}

private:
    std::string Reason(Int32 result) const;

    IInArchive* archive_;
    MemberSink& sink_;
    std::string defaultName_;
    bool open_ = false, encrypted_ = false;
    bool askedForPassword_ = false;  // at any time of the extraction: a folder's data is encrypted
};

Z7_COM7F_IMF(ExtractCallback::SetTotal(UInt64)) { return S_OK; }
// The handlers count what they unpacked, including the members passed over: the limits hold for those too.
Z7_COM7F_IMF(ExtractCallback::SetCompleted(const UInt64* unpacked)) {
    return sink_.Stopped() || (unpacked && !sink_.Progress(*unpacked)) ? E_ABORT : S_OK;
}

Z7_COM7F_IMF(ExtractCallback::GetStream(UInt32 index, ISequentialOutStream** outStream, Int32 askExtractMode)) {
    *outStream = nullptr;
    open_ = encrypted_ = false;
    if (sink_.Stopped()) return E_ABORT;
    if (askExtractMode != NArchive::NExtract::NAskMode::kExtract) return S_OK;
    NWindows::NCOM::CPropVariant path, isDir, size, packed, encrypted;
    archive_->GetProperty(index, kpidIsDir, &isDir);
    if (isDir.vt == VT_BOOL && isDir.boolVal != VARIANT_FALSE) return S_OK;
    archive_->GetProperty(index, kpidPath, &path);
    archive_->GetProperty(index, kpidSize, &size);
    archive_->GetProperty(index, kpidPackSize, &packed);
    archive_->GetProperty(index, kpidEncrypted, &encrypted);
    std::string name = path.vt == VT_BSTR ? Narrow(path.bstrVal) : std::string();
    if (name.empty()) name = defaultName_;
    encrypted_ = encrypted.vt == VT_BOOL && encrypted.boolVal != VARIANT_FALSE;
    if (encrypted_) {
        sink_.Refuse("encrypted " + sink_.Format() + " member");
        return S_OK;
    }
    const UInt64 declared = size.vt == VT_UI8 ? size.uhVal.QuadPart : size.vt == VT_UI4 ? size.ulVal : UINT64_MAX;
    const UInt64 packedSize = packed.vt == VT_UI8 ? packed.uhVal.QuadPart : packed.vt == VT_UI4 ? packed.ulVal : 0;
    if (!sink_.Begin(name, packedSize, declared)) return sink_.Stopped() ? E_ABORT : S_OK;
    open_ = true;
    CMyComPtr<ISequentialOutStream> stream = new SinkStream(sink_);
    *outStream = stream.Detach();
    return S_OK;
}

Z7_COM7F_IMF(ExtractCallback::PrepareOperation(Int32)) { return S_OK; }

std::string ExtractCallback::Reason(Int32 result) const {
    using namespace NArchive::NExtract::NOperationResult;
    const std::string member = sink_.Format() + " member";
    switch (result) {
    case kUnsupportedMethod: return member + " packed by an unknown method";
    case kWrongPassword: return "encrypted " + member;
    case kUnavailable: return member + " in another volume";
    case kUnexpectedEnd: return member + " cut short";
    default: return "damaged " + member;
    }
}

Z7_COM7F_IMF(ExtractCallback::SetOperationResult(Int32 result)) {
    // Bytes after the end of a member's data do not make what came out of it damaged.
    const bool damaged = result != NArchive::NExtract::NOperationResult::kOK && result != NArchive::NExtract::NOperationResult::kDataAfterEnd;
    if (!open_) {
        // Refused, or failed before its bytes were asked for (an encrypted folder fails at its start).
        if (damaged && !encrypted_) sink_.Refuse(askedForPassword_ ? "encrypted " + sink_.Format() + " member" : Reason(result));
        return sink_.Stopped() ? E_ABORT : S_OK;
    }
    open_ = false;
    // A member that asked for a password and came out damaged is an encrypted one.
    const std::string why =
        !damaged ? std::string() : encrypted_ || askedForPassword_ ? "encrypted " + sink_.Format() + " member" : Reason(result);
    return sink_.End(damaged, why) ? S_OK : E_ABORT;
}

Z7_COM7F_IMF(ExtractCallback::CryptoGetTextPassword(BSTR* password)) {
    // No password: the member fails to unpack and is reported, the others go on.
    encrypted_ = askedForPassword_ = true;
    *password = ::SysAllocString(L"");
    return *password ? S_OK : E_OUTOFMEMORY;
}

// The largest dictionary the members' methods declare ("LZMA2:26", "LZMA:1536m", "PPMD:o6:mem24"), in
// bytes; 0 when none says.
UInt64 DeclaredDictionary(const std::string& method) {
    UInt64 largest = 0;
    for (size_t at = 0; (at = method.find(':', at)) != std::string::npos;) {
        ++at;
        if (method.compare(at, 3, "mem") == 0) at += 3;
        if (method.compare(at, 2, "d=") == 0) at += 2;
        UInt64 value = 0;
        size_t digits = 0;
        for (; at < method.size() && method[at] >= '0' && method[at] <= '9' && digits < 12; ++at, ++digits)
            value = value * 10 + static_cast<UInt64>(method[at] - '0');
        if (digits == 0) continue;
        const char unit = at < method.size() ? method[at] : 0;
        UInt64 bytes = value;
        if (unit == 'k' || unit == 'K') bytes = value << 10;
        else if (unit == 'm' || unit == 'M') bytes = value << 20;
        else if (unit == 'g' || unit == 'G') bytes = value << 30;
        else if (unit == 'b' || unit == 'B') bytes = value;
        else if (value < 64) bytes = 1ull << value;  // a power of two, as its exponent
        else continue;                               // a number of another meaning (an order, a level)
        largest = std::max(largest, bytes);
    }
    return largest;
}

// One of 7-Zip's formats.
// Decoders that share one stream between threads (LZMA2, xz: one thread per processor) take more
// memory than one; within the bound of two dictionaries they may, beyond it they use fewer threads.
void BoundThreadMemory(IInArchive* archive, const ArchiveLimits& limits) {
    CMyComPtr<ISetProperties> properties;
    archive->QueryInterface(IID_ISetProperties, reinterpret_cast<void**>(&properties));
    if (!properties) return;
    const wchar_t* names[] = {L"memuse"};
    NWindows::NCOM::CPropVariant values[1];
    values[0] = static_cast<UInt64>(2 * limits.maxDictionary);
    properties->SetProperties(names, values, 1);
}

// Handlers are used again after Close, kept idle by the scanning context (see Scratch.h). A handler
// in use is not idle, so an archive nested in one of its own format gets another.
class LentHandler {
public:
    LentHandler(const GUID& classId, const ArchiveLimits& limits) : kind_(reinterpret_cast<const char*>(&classId), sizeof(GUID)) {
        archive_ = std::static_pointer_cast<IInArchive>(TakeIdle(kind_));
        if (archive_) return;
        IInArchive* made = nullptr;
        if (CreateArchiver(&classId, &IID_IInArchive, reinterpret_cast<void**>(&made)) != S_OK || !made) return;
        archive_.reset(made, [](IInArchive* archive) { archive->Release(); });
        BoundThreadMemory(made, limits);
    }
    ~LentHandler() {
        if (!archive_) return;
        archive_->Close();
        KeepIdle(kind_, archive_);
    }
    LentHandler(const LentHandler&) = delete;
    LentHandler& operator=(const LentHandler&) = delete;
    IInArchive* operator->() const { return archive_.get(); }
    explicit operator bool() const { return archive_ != nullptr; }
    IInArchive* Get() const { return archive_.get(); }

private:
    std::string kind_;
    std::shared_ptr<IInArchive> archive_;
};

class SevenZipFormat : public ArchiveFormat {
public:
    SevenZipFormat(UInt32 index, FormatId format, bool compressedFile) : ArchiveFormat(format), compressedFile_(compressedFile) {
        NWindows::NCOM::CPropVariant prop;
        if (GetHandlerProperty2(index, NArchive::NHandlerPropID::kClassID, &prop) == S_OK && Bytes(prop).size() == sizeof(GUID))
            std::memcpy(&classId_, Bytes(prop).data(), sizeof(GUID));
        prop.Clear();
        if (GetHandlerProperty2(index, NArchive::NHandlerPropID::kSignatureOffset, &prop) == S_OK && prop.vt == VT_UI4)
            offset_ = prop.ulVal;
        prop.Clear();
        if (GetHandlerProperty2(index, NArchive::NHandlerPropID::kFlags, &prop) == S_OK && prop.vt == VT_UI4) flags_ = prop.ulVal;
        prop.Clear();
        if (GetHandlerProperty2(index, NArchive::NHandlerPropID::kSignature, &prop) == S_OK && !Bytes(prop).empty())
            signatures_.push_back(Bytes(prop));
        prop.Clear();
        if (GetHandlerProperty2(index, NArchive::NHandlerPropID::kMultiSignature, &prop) == S_OK) {
            // Each signature behind a byte of its length.
            const std::string all = Bytes(prop);
            for (size_t at = 0; at < all.size();) {
                const size_t length = static_cast<uint8_t>(all[at++]);
                if (length == 0 || at + length > all.size()) break;
                signatures_.push_back(all.substr(at, length));
                at += length;
            }
        }
        GetIsArc(index, &isArc_);
    }

    bool Recognizes(const ObjectHead& head) const override {
        return Where(head) != NotHere;
    }

    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        const UInt64 base = Where(head);
        if (base == NotHere) return;
        ReadFrom(source, base, base == 0 ? 0 : std::min<UInt64>(Limits::SfxSearch, source.Size() - base), head.name, sink);
    }

    // The archive that starts at base, or up to search bytes after it.
    void ReadFrom(ByteSource& source, UInt64 base, UInt64 search, const std::string& defaultName, MemberSink& sink) const {
        const LentHandler archive(classId_, sink.Limits());
        if (!archive) return;
        SourceStream* streamSpec = new SourceStream;
        CMyComPtr<IInStream> stream = streamSpec;
        streamSpec->Init(source, base);
        OpenCallback* openSpec = new OpenCallback(sink);
        CMyComPtr<IArchiveOpenCallback> openCallback = openSpec;
        const HRESULT opened = archive->Open(stream, &search, openCallback);
        if (opened != S_OK) {
            // An object that bears the format's signature, and fails to open, is a damaged archive.
            if (openSpec->askedForPassword || (base == 0 && Sure(source))) {
                sink.Report().archive = true;
                sink.Refuse(openSpec->askedForPassword ? "encrypted " + Name() + " archive" : "damaged " + Name() + " archive");
            }
            return;
        }
        NWindows::NCOM::CPropVariant errors;
        archive->GetArchiveProperty(kpidErrorFlags, &errors);
        const UInt32 errorFlags = errors.vt == VT_UI4 ? errors.ulVal : 0;
        if (errorFlags & kpv_ErrorFlags_IsNotArc) {
            return;
        }
        sink.Report().archive = true;
        if (errorFlags & kpv_ErrorFlags_EncryptedHeadersError) sink.Refuse("encrypted " + Name() + " archive");
        else if (errorFlags & (kpv_ErrorFlags_HeadersError | kpv_ErrorFlags_UnexpectedEnd | kpv_ErrorFlags_UnavailableStart))
            sink.Refuse("damaged " + Name() + " archive");
        UInt32 items = 0;
        archive->GetNumberOfItems(&items);
        // Memory: the largest dictionary the members declare, before anything is unpacked. Encrypted
        // members are reported and left out: no key is derived (a header chooses its cost) for nothing.
        UInt64 dictionary = 0;
        std::vector<UInt32> readable;
        for (UInt32 i = 0; i < items && !sink.Stopped(); ++i) {
            NWindows::NCOM::CPropVariant method, encrypted;
            archive->GetProperty(i, kpidEncrypted, &encrypted);
            if (encrypted.vt == VT_BOOL && encrypted.boolVal != VARIANT_FALSE) {
                sink.Refuse("encrypted " + sink.Format() + " member");
                continue;
            }
            readable.push_back(i);
            archive->GetProperty(i, kpidMethod, &method);
            if (method.vt == VT_BSTR) dictionary = std::max(dictionary, DeclaredDictionary(Narrow(method.bstrVal)));
        }
        if (readable.empty() || !sink.Reserve(dictionary)) {
            return;
        }
        if (compressedFile_) sink.MembersAreWholeFiles();
        CMyComPtr<IArchiveExtractCallback> extract = new ExtractCallback(archive.Get(), sink, defaultName);
        const HRESULT result = archive->Extract(readable.data(), static_cast<UInt32>(readable.size()), 0, extract);
        sink.End(false);
        if (result != S_OK && !sink.Stopped() && result != E_ABORT) sink.Refuse("damaged " + Name() + " archive");
    }

private:
    static const UInt64 NotHere = ~0ull;

    // Where the archive starts: at the object's start, or in the bytes after a program's image (for a
    // format that can find its start there); NotHere when the object is not of the format.
    UInt64 Where(const ObjectHead& head) const {
        if (Matches(head.bytes)) return 0;
        if ((flags_ & NArcInfoFlags::kFindSignature) && head.overlay && !signatures_.empty())
            for (const std::string& signature : signatures_) {
                const auto& bytes = head.overlayBytes;
                if (bytes.size() < offset_ + signature.size()) continue;
                const auto at = std::search(bytes.begin() + offset_, bytes.end(), signature.begin(), signature.end(),
                                            [](uint8_t b, char c) { return b == static_cast<uint8_t>(c); });
                if (at != bytes.end()) return head.overlay;
            }
        return NotHere;
    }

    // Whether the object's first bytes bear a signature of four bytes or more: then it is of the
    // format, opened or not.
    bool Sure(ByteSource& source) const {
        uint8_t bytes[64];
        for (const std::string& signature : signatures_) {
            if (signature.size() < 4 || offset_ + signature.size() > sizeof bytes) continue;
            const size_t got = source.Read(0, bytes, offset_ + signature.size());
            if (got == offset_ + signature.size() && std::memcmp(bytes + offset_, signature.data(), signature.size()) == 0) return true;
        }
        return false;
    }

    bool Matches(const std::vector<uint8_t>& bytes) const {
        bool signed_ = signatures_.empty();
        for (const std::string& signature : signatures_)
            if (bytes.size() >= offset_ + signature.size() && std::memcmp(bytes.data() + offset_, signature.data(), signature.size()) == 0)
                signed_ = true;
        if (!signed_) return false;
        // The format's own check of its first bytes, where it has one; without a signature, it alone decides.
        if (isArc_) {
            const UInt32 answer = isArc_(bytes.data(), bytes.size());
            return answer == k_IsArc_Res_YES || (answer == k_IsArc_Res_NEED_MORE && !signatures_.empty());
        }
        return !signatures_.empty();
    }

    GUID classId_ = {};
    bool compressedFile_;
    UInt32 offset_ = 0, flags_ = 0;
    std::vector<std::string> signatures_;
    Func_IsArc isArc_ = nullptr;
};

UInt32 FormatIndex(const char* handler) {
    UINT32 count = 0;
    GetNumberOfFormats(&count);
    for (UInt32 i = 0; i < count; ++i) {
        NWindows::NCOM::CPropVariant name;
        if (GetHandlerProperty2(i, NArchive::NHandlerPropID::kName, &name) == S_OK && name.vt == VT_BSTR &&
            Narrow(name.bstrVal) == handler)
            return i;
    }
    return ~0u;
}

}  // namespace

std::unique_ptr<ArchiveFormat> MakeSevenZipFormat(FormatId format) {
    for (const auto& opened : Opened) {
        if (opened.format != format) continue;
        const UInt32 index = FormatIndex(opened.handler);
        if (index != ~0u) return std::unique_ptr<ArchiveFormat>(new SevenZipFormat(index, format, opened.compressedFile));
    }
    return nullptr;
}

void ReadZipWithSevenZip(ByteSource& source, MemberSink& sink) {
    static const UInt32 index = FormatIndex("zip");
    if (index == ~0u) return;
    static const SevenZipFormat zip(index, FormatId::Zip, false);
    // The engine's reader found the archive; 7-Zip's finds it again, whatever program comes before it.
    zip.ReadFrom(source, 0, source.Size(), std::string(), sink);
}

}  // namespace RefEngine
