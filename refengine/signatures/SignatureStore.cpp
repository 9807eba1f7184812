// The compact store of body signatures. Code of one signature: its anchor's bytes, then per element
//   'E' u32 n, n bytes          a run of exact bytes
//   'R' u32 n, n x 4 bytes      a run of tests: value, mask, class (u16, NoClass: none)
//   'G' u64 min, u64 max        a gap
//   'A' u32 k, k x (u32 n, n x 4 bytes)   a choice of byte strings
//   'N' as 'A'                  n bytes that are none of the strings (all n long)
//   'B' kind                    a boundary
#include "refengine/signatures/SignatureStore.h"

#include <cstring>

namespace RefEngine {
namespace {

void Put32(std::vector<uint8_t>& code, uint32_t value) {
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void Put64(std::vector<uint8_t>& code, uint64_t value) {
    for (int i = 0; i < 8; ++i) code.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint64_t Get64(const uint8_t* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

bool AllExact(const ByteRun& run) {
    for (const ByteTest& t : run)
        if (!t.Exact()) return false;
    return true;
}

}  // namespace

Offset SignatureStore::GetOffset(size_t i) const {
    const Record& record = records_[i];
    Offset offset;
    offset.kind = static_cast<Offset::Kind>(record.offsetKind);
    if (offset.kind == Offset::Anywhere) return offset;
    const uint8_t* p = code_.data() + record.code;
    offset.value = static_cast<int64_t>(Get64(p));
    offset.shift = Get64(p + 8);
    offset.section = Get32(p + 16);
    return offset;
}

const uint8_t* SignatureStore::Code(size_t i) const {
    const Record& record = records_[i];
    return code_.data() + record.code + (record.offsetKind == Offset::Anywhere ? 0 : OffsetBytes);
}

uint32_t SignatureStore::Add(const BodySignature& sig) {
    // Classes first: a signature whose classes do not fit changes nothing.
    // Most signatures have a few classes or none: no allocation for those.
    uint16_t fewClasses[32];
    std::vector<uint16_t> manyClasses(sig.classes.size() > 32 ? sig.classes.size() : 0);
    uint16_t* classMap = sig.classes.size() > 32 ? manyClasses.data() : fewClasses;
    size_t fresh = 0;
    for (const std::bitset<256>& bytes : sig.classes) fresh += classIndex_.count(bytes) ? 0 : 1;
    if (classes_.size() + fresh >= NoClass) return NotAdded;
    for (size_t c = 0; c < sig.classes.size(); ++c) {
        // Looked up first: emplace would make (and free) a node for every class already known.
        auto known = classIndex_.find(sig.classes[c]);
        if (known == classIndex_.end()) {
            known = classIndex_.emplace(sig.classes[c], static_cast<uint16_t>(classes_.size())).first;
            classes_.push_back(sig.classes[c]);
        }
        classMap[c] = known->second;
    }

    Record record;
    record.name = static_cast<uint32_t>(names_.size());
    names_.append(sig.name);
    names_.push_back('\0');
    record.code = static_cast<uint32_t>(code_.size());
    record.elements = static_cast<uint32_t>(sig.elements.size());
    record.anchorElement = static_cast<uint32_t>(sig.anchorElement);
    record.anchorPosition = static_cast<uint32_t>(sig.anchorPosition);
    record.anchorLength = static_cast<uint8_t>(sig.anchorLength);
    record.target = sig.target;
    record.cure = static_cast<uint8_t>(sig.cure);
    record.offsetKind = static_cast<uint8_t>(sig.offset.kind);
    if (sig.offset.kind != Offset::Anywhere) {
        Put64(code_, static_cast<uint64_t>(sig.offset.value));
        Put64(code_, sig.offset.shift);
        Put32(code_, sig.offset.section);
    }

    auto putTests = [&](const ByteRun& run) {
        for (const ByteTest& t : run) {
            code_.push_back(t.value);
            code_.push_back(t.mask);
            const uint16_t klass = t.byteClass < 0 ? NoClass : classMap[static_cast<size_t>(t.byteClass)];
            code_.push_back(static_cast<uint8_t>(klass));
            code_.push_back(static_cast<uint8_t>(klass >> 8));
        }
    };
    const ByteRun& anchorRun = sig.elements[sig.anchorElement].run;
    for (size_t i = 0; i < sig.anchorLength; ++i) {
        const int folded = FoldedByte(anchorRun[sig.anchorPosition + i], sig.classes);
        code_.push_back(static_cast<uint8_t>(folded));
        if (folded >= 'a' && folded <= 'z') record.target |= AnchorCased;
    }
    for (const Element& e : sig.elements) {
        switch (e.kind) {
        case Element::Run:
            if (AllExact(e.run)) {
                code_.push_back('E');
                Put32(code_, static_cast<uint32_t>(e.run.size()));
                for (const ByteTest& t : e.run) code_.push_back(t.value);
            } else {
                code_.push_back('R');
                Put32(code_, static_cast<uint32_t>(e.run.size()));
                putTests(e.run);
            }
            break;
        case Element::Gap:
            code_.push_back('G');
            Put64(code_, e.min);
            Put64(code_, e.max);
            break;
        case Element::Choice:
            code_.push_back(e.negated ? 'N' : 'A');
            Put32(code_, static_cast<uint32_t>(e.options.size()));
            for (const ByteRun& option : e.options) {
                Put32(code_, static_cast<uint32_t>(option.size()));
                putTests(option);
            }
            break;
        case Element::Boundary:
            code_.push_back('B');
            code_.push_back(static_cast<uint8_t>(e.boundary));
            break;
        }
    }
    records_.push_back(record);
    return static_cast<uint32_t>(records_.size() - 1);
}

const uint8_t* SignatureStore::Anchor(size_t i) const { return Code(i); }

void SignatureStore::Elements(size_t i, std::vector<ElementView>& out) const {
    const Record& record = records_[i];
    out.resize(record.elements);
    const uint8_t* p = Code(i) + record.anchorLength;
    for (uint32_t e = 0; e < record.elements; ++e) {
        ElementView& view = out[e];
        view = ElementView();
        switch (*p++) {
        case 'E':
            view.kind = Element::Run;
            view.exact = true;
            view.length = Get32(p);
            view.data = p + 4;
            p += 4 + view.length;
            break;
        case 'R':
            view.kind = Element::Run;
            view.length = Get32(p);
            view.data = p + 4;
            p += 4 + 4 * static_cast<size_t>(view.length);
            break;
        case 'G':
            view.kind = Element::Gap;
            view.min = Get64(p);
            view.max = Get64(p + 8);
            p += 16;
            break;
        case 'A':
        case 'N':
            view.kind = Element::Choice;
            view.negated = p[-1] == 'N';
            view.length = Get32(p);
            view.data = p + 4;
            p += 4;
            for (uint32_t o = 0; o < view.length; ++o) p += 4 + 4 * static_cast<size_t>(Get32(p));
            break;
        default:
            view.kind = Element::Boundary;
            view.boundary = static_cast<char>(*p++);
            break;
        }
    }
}

bool SignatureStore::KeyOf(const uint8_t* test, uint8_t& byte, uint8_t& fold) const {
    const uint16_t klass = static_cast<uint16_t>(test[2] | (test[3] << 8));
    if (klass == NoClass) {
        byte = test[0];
        fold = 0;
        return test[1] == 0xFF;
    }
    const int folded = CaseLetter(classes_[klass]);
    if (folded < 0) return false;
    byte = static_cast<uint8_t>(folded);
    fold = 0x20;
    return true;
}

BodySignature SignatureStore::Expand(size_t i) const {
    const Record& record = records_[i];
    BodySignature sig;
    sig.name = Name(i);
    sig.offset = GetOffset(i);
    sig.target = record.target & ~AnchorCased;
    sig.cure = static_cast<CureKind>(record.cure);
    sig.anchorElement = record.anchorElement;
    sig.anchorPosition = record.anchorPosition;
    sig.anchorLength = record.anchorLength;
    std::vector<ElementView> views;
    Elements(i, views);
    auto tests = [&](const uint8_t* data, uint32_t length, bool exact) {
        ByteRun run;
        for (uint32_t t = 0; t < length; ++t) {
            ByteTest test;
            if (exact) {
                test.value = data[t];
            } else {
                const uint8_t* d = data + 4 * t;
                test.value = d[0];
                test.mask = d[1];
                const uint16_t klass = static_cast<uint16_t>(d[2] | (d[3] << 8));
                if (klass != NoClass) {
                    test.byteClass = static_cast<int16_t>(sig.classes.size());
                    sig.classes.push_back(classes_[klass]);
                }
            }
            run.push_back(test);
        }
        return run;
    };
    for (const ElementView& view : views) {
        Element e;
        e.kind = view.kind;
        if (view.kind == Element::Run) e.run = tests(view.data, view.length, view.exact);
        if (view.kind == Element::Gap) {
            e.min = view.min;
            e.max = view.max;
        }
        if (view.kind == Element::Boundary) e.boundary = view.boundary;
        if (view.kind == Element::Choice) {
            e.negated = view.negated;
            const uint8_t* p = view.data;
            for (uint32_t o = 0; o < view.length; ++o) {
                const uint32_t length = Get32(p);
                e.options.push_back(tests(p + 4, length, false));
                p += 4 + 4 * static_cast<size_t>(length);
            }
        }
        sig.elements.push_back(std::move(e));
    }
    return sig;
}

void SignatureStore::Shrink() {
    // Only where much is left over: giving memory back copies, and for a moment needs both.
    if (records_.capacity() > records_.size() + records_.size() / 4) records_.shrink_to_fit();
    if (names_.capacity() > names_.size() + names_.size() / 4) names_.shrink_to_fit();
    if (code_.capacity() > code_.size() + code_.size() / 4) code_.shrink_to_fit();
    classes_.shrink_to_fit();
}

}  // namespace RefEngine
