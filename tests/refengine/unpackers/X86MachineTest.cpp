// The interpreter against the processor it imitates: random instructions of every kind the
// interpreter knows run natively (the test is a 32-bit program) and interpreted from the same
// registers, flags and memory; the results must agree, in the flags each instruction defines.
#include "refengine/unpackers/X86Machine.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <sstream>

using namespace RefEngine;

namespace {

const uint32_t CF = 1, PF = 4, AF = 0x10, ZF = 0x40, SF = 0x80, OF = 0x800;
const uint32_t Arithmetic = CF | PF | AF | ZF | SF | OF;

// Registers, flags and a little memory, where the native code finds and leaves them.
struct State {
    uint32_t reg[8];  // eax ecx edx ebx (esp unused) ebp esi edi
    uint32_t flags;
    uint32_t hostEsp;
    uint8_t data[64];
};

struct Case {
    std::vector<uint8_t> code;
    uint32_t definedFlags;
};

// One instruction of a family, its registers and immediates random; memory operands go through ebx,
// which points into State::data.
Case RandomInstruction(std::mt19937& random) {
    auto byte = [&]() { return static_cast<uint8_t>(random()); };
    auto pick = [&](int n) { return static_cast<int>(random() % n); };
    // A ModRM without esp as an operand: a register, or [ebx + small displacement].
    auto modrm = [&](int field) -> std::vector<uint8_t> {
        if (pick(3) == 0) return {static_cast<uint8_t>(0x40 | field << 3 | 3), static_cast<uint8_t>(pick(32))};
        int rm;
        do rm = pick(8); while (rm == 4);
        return {static_cast<uint8_t>(0xC0 | field << 3 | rm)};
    };
    auto reg = [&]() { int r; do r = pick(8); while (r == 4 || r == 3); return r; };  // not esp, not ebx
    Case c;
    std::vector<uint8_t>& code = c.code;
    if (pick(4) == 0) code.push_back(0x66);
    const bool word = !code.empty();
    c.definedFlags = Arithmetic;
    auto append = [&](const std::vector<uint8_t>& bytes) { code.insert(code.end(), bytes.begin(), bytes.end()); };
    auto immediate = [&](int size) { for (int i = 0; i < size; ++i) code.push_back(byte()); };
    const int wide = word ? 2 : 4;
    switch (pick(16)) {
    case 0: {  // the eight operations, every form
        const int op = pick(8), form = pick(6);
        code.push_back(static_cast<uint8_t>(op << 3 | form));
        if (form < 4) append(modrm(reg()));
        else immediate(form == 4 ? 1 : wide);
        if (op == 1 || op == 4 || op == 6) c.definedFlags &= ~AF;
        break;
    }
    case 1: {
        const uint8_t opcodes[] = {0x80, 0x81, 0x83};
        const int op = pick(8);
        const uint8_t opcode = opcodes[pick(3)];
        code.push_back(opcode);
        append(modrm(op));
        immediate(opcode == 0x81 ? wide : 1);
        c.definedFlags = (op == 1 || op == 4 || op == 6) ? Arithmetic & ~AF : Arithmetic;
        break;
    }
    case 2: {  // shifts and rotations: by 1, by cl, by an immediate
        const uint8_t opcodes[] = {0xC0, 0xC1, 0xD0, 0xD1, 0xD2, 0xD3};
        const uint8_t opcode = opcodes[pick(6)];
        int op;
        do op = pick(8); while (op == 6);
        code.push_back(opcode);
        append(modrm(op));
        const bool byOne = opcode == 0xD0 || opcode == 0xD1;
        if (opcode <= 0xC1) code.push_back(static_cast<uint8_t>(pick(40)));
        c.definedFlags = op < 4 ? CF : Arithmetic & ~AF;
        if (!byOne) c.definedFlags &= ~OF;
        // A byte or word shifted by its width or more leaves the carry undefined.
        if (op >= 4 && !byOne && (word || !(opcode & 1))) c.definedFlags &= ~CF;
        break;
    }
    case 3: {  // not, neg, mul, imul (divisions are checked by their own case)
        const int op = 2 + pick(4);
        code.push_back(pick(2) ? 0xF7 : 0xF6);
        append(modrm(op));
        c.definedFlags = op == 2 ? 0 : op == 3 ? Arithmetic : CF | OF;
        break;
    }
    case 4: code.push_back(static_cast<uint8_t>(0x40 + pick(2) * 8 + reg())); break;  // inc, dec
    case 5: {  // bt, bts, btr, btc by a register or an immediate
        if (pick(2)) {
            code.insert(code.end(), {0x0F, static_cast<uint8_t>(0xA3 + 8 * pick(4))});
            const int r = reg();
            std::vector<uint8_t> m = {static_cast<uint8_t>(0xC0 | r << 3 | reg())};
            append(m);
        } else {
            code.insert(code.end(), {0x0F, 0xBA});
            append(modrm(4 + pick(4)));
            code.push_back(byte());
        }
        c.definedFlags = CF;
        break;
    }
    case 6: {  // imul's two- and three-operand forms
        const int form = pick(3);
        if (form == 0) code.insert(code.end(), {0x0F, 0xAF});
        else code.push_back(form == 1 ? 0x69 : 0x6B);
        append(modrm(reg()));
        if (form) immediate(form == 1 ? wide : 1);
        c.definedFlags = CF | OF;
        break;
    }
    case 7: {  // movzx, movsx, bswap, cmovcc, setcc
        const int form = pick(4);
        code.push_back(0x0F);
        if (form == 0) {
            code.push_back(static_cast<uint8_t>(0xB6 + pick(2) + 8 * pick(2)));
            append(modrm(reg()));
        } else if (form == 1 && !word) code.push_back(static_cast<uint8_t>(0xC8 + reg()));
        else if (form == 2 || form == 1) {
            code.push_back(static_cast<uint8_t>(0x40 + pick(16)));
            append(modrm(reg()));
        } else {
            code.push_back(static_cast<uint8_t>(0x90 + pick(16)));
            append(modrm(0));
        }
        c.definedFlags = 0;
        break;
    }
    case 8: {  // shld, shrd (of doublewords: a word shifted by more than 16 is undefined)
        code.clear();
        code.push_back(0x0F);
        const uint8_t opcode = static_cast<uint8_t>(0xA4 + pick(2) + 8 * pick(2));
        code.push_back(opcode);
        append(modrm(reg()));
        if (!(opcode & 1)) code.push_back(static_cast<uint8_t>(pick(32)));
        c.definedFlags = CF | ZF | SF | PF;
        break;
    }
    case 9: {  // xadd, cmpxchg
        code.insert(code.end(), {0x0F, static_cast<uint8_t>(pick(2) ? 0xC0 + pick(2) : 0xB0 + pick(2))});
        append(modrm(reg()));
        break;
    }
    case 10: {  // xchg, mov, lea, test
        const uint8_t opcodes[] = {0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x84, 0x85};
        code.push_back(opcodes[pick(8)]);
        append(modrm(reg()));
        c.definedFlags = Arithmetic & ~AF;
        break;
    }
    case 11: {  // cwde, cdq, sahf, lahf, cmc, clc, stc
        const uint8_t opcodes[] = {0x98, 0x99, 0x9E, 0x9F, 0xF5, 0xF8, 0xF9};
        code.push_back(opcodes[pick(7)]);
        break;
    }
    case 12: {  // bsf, bsr (of a non-zero source: the destination is undefined otherwise)
        code.insert(code.end(), {0x0F, static_cast<uint8_t>(0xBC + pick(2))});
        const int r = reg();
        code.push_back(static_cast<uint8_t>(0xC0 | r << 3 | 3));  // from ebx, never zero here
        c.definedFlags = ZF;
        break;
    }
    case 13: {  // division by a non-zero register whose quotient fits: edx is cleared first
        code.insert(code.end(), {0x31, 0xD2});  // xor edx, edx (its flags are overwritten)
        if (word) code.push_back(0x66);
        code.push_back(0xF7);
        code.push_back(0xF3);  // div ebx
        c.definedFlags = 0;
        break;
    }
    case 14: {  // string instructions through esi and edi, counted by ecx
        code.clear();
        code.push_back(0xFC);
        if (pick(2)) code.push_back(pick(2) ? 0xF3 : 0xF2);
        const uint8_t opcodes[] = {0xA4, 0xA5, 0xA6, 0xA7, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
        code.push_back(opcodes[pick(10)]);
        break;
    }
    default: {  // rcl, rcr by several
        code.push_back(pick(2) ? 0xD3 : 0xD2);
        append(modrm(2 + pick(2)));
        c.definedFlags = CF;
        break;
    }
    }
    return c;
}

class Native {
public:
    Native() { page_ = static_cast<uint8_t*>(::VirtualAlloc(nullptr, 0x2000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE)); }
    ~Native() { ::VirtualFree(page_, 0, MEM_RELEASE); }
    State* state() { return reinterpret_cast<State*>(page_ + 0x1000); }
    uint8_t* code() { return page_; }
    uint32_t Address(const void* p) const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

    // The instruction between a load and a save of the state; returns where it begins.
    uint32_t Build(const std::vector<uint8_t>& instruction) {
        std::vector<uint8_t> c;
        auto address = [&](const void* p) {
            const uint32_t a = Address(p);
            for (int i = 0; i < 4; ++i) c.push_back(static_cast<uint8_t>(a >> (8 * i)));
        };
        State* s = state();
        c.insert(c.end(), {0x60, 0x9C, 0x89, 0x25});  // pushad, pushfd, mov [hostEsp], esp
        address(&s->hostEsp);
        c.insert(c.end(), {0xFF, 0x35});  // push [flags]; popfd
        address(&s->flags);
        c.push_back(0x9D);
        static const uint8_t loads[8] = {0x05, 0x0D, 0x15, 0x1D, 0, 0x2D, 0x35, 0x3D};
        for (int r = 0; r < 8; ++r) {
            if (r == 4) continue;
            c.insert(c.end(), {0x8B, loads[r]});
            address(&s->reg[r]);
        }
        const uint32_t at = Address(code() + c.size());
        c.insert(c.end(), instruction.begin(), instruction.end());
        for (int r = 0; r < 8; ++r) {
            if (r == 4) continue;
            c.insert(c.end(), {0x89, loads[r]});
            address(&s->reg[r]);
        }
        c.insert(c.end(), {0x9C, 0x8F, 0x05});  // pushfd; pop [flags]
        address(&s->flags);
        c.insert(c.end(), {0x8B, 0x25});  // mov esp, [hostEsp]
        address(&s->hostEsp);
        c.insert(c.end(), {0x9D, 0x61, 0xC3});
        std::memcpy(code(), c.data(), c.size());
        ::FlushInstructionCache(::GetCurrentProcess(), code(), c.size());
        return at;
    }
    void Run() { reinterpret_cast<void (*)()>(code())(); }

private:
    uint8_t* page_;
};

std::string Describe(const std::vector<uint8_t>& code) {
    std::ostringstream text;
    for (uint8_t b : code) text << std::hex << (b < 16 ? "0" : "") << int(b) << ' ';
    return text.str();
}

TEST(X86Machine, AgreesWithTheProcessor) {
    std::mt19937 random(20261209);
    Native native;
    int compared = 0;
    for (int round = 0; round < 50000; ++round) {
        const Case c = RandomInstruction(random);
        State before = {};
        for (uint32_t& r : before.reg) r = random() % 4 == 0 ? random() % 64 : random();
        before.reg[3] = native.Address(native.state()->data);  // ebx: the memory
        before.reg[6] = before.reg[3] + random() % 16;         // esi, edi: into it, a few elements
        before.reg[7] = before.reg[3] + 32 + random() % 16;
        before.reg[1] = random() % 3 == 0 ? random() % 4 : before.reg[1];
        if (c.code.size() >= 2 && c.code[c.code.size() - 2] == 0xF7 && c.code.back() == 0xF3) {
            before.reg[2] = 0;  // the division's quotient fits
        }
        if (c.code[0] == 0xFC) before.reg[1] = random() % 4;  // a few string elements
        before.flags = (random() & (Arithmetic)) | 0x202;
        for (uint8_t& b : before.data) b = static_cast<uint8_t>(random());
        if (c.code.size() >= 2 && c.code[c.code.size() - 2] == 0xF7 && c.code.back() == 0xF3 &&
            (c.code[c.code.size() - 3] == 0x66 ? (before.reg[3] & 0xFFFF) == 0 : before.reg[3] == 0))
            continue;

        *native.state() = before;
        const uint32_t at = native.Build(c.code);
        native.Run();
        const State expected = *native.state();

        X86Memory memory(1 << 20);
        const uint32_t page = native.Address(native.code());
        ASSERT_TRUE(memory.Map(page, 0x2000));
        memory.Write(page, native.code(), 0x1000);
        memory.Write(page + 0x1000, &before, sizeof before);
        X86Cpu cpu(memory);
        std::memcpy(cpu.reg, before.reg, sizeof before.reg);
        cpu.reg[X86Cpu::Esp] = page + 0x1F00;
        cpu.flags = before.flags;
        cpu.eip = at;
        // The instruction, repeated while a repeat prefix keeps eip on it.
        const uint32_t end = at + static_cast<uint32_t>(c.code.size());
        uint64_t steps = 1000;
        while (cpu.eip != end && steps > 0) {
            uint64_t one = 1;
            const X86Cpu::Stop stop = cpu.Run(one);
            ASSERT_EQ(X86Cpu::Stop::Steps, stop) << Describe(c.code);
            --steps;
        }
        State got = {};
        memory.Read(page + 0x1000, &got, sizeof got);
        for (int r = 0; r < 8; ++r) {
            if (r == 4) continue;
            EXPECT_EQ(expected.reg[r], cpu.reg[r]) << "register " << r << " after " << Describe(c.code);
        }
        EXPECT_EQ(expected.flags & c.definedFlags, cpu.flags & c.definedFlags) << "flags after " << Describe(c.code);
        EXPECT_EQ(0, std::memcmp(expected.data, got.data, sizeof got.data)) << "memory after " << Describe(c.code);
        if (HasFailure()) return;
        ++compared;
    }
    EXPECT_GT(compared, 15000);
}

// What a program cannot do stops it with the exception the system would raise, its registers as
// they were before the instruction.
TEST(X86Machine, FaultsAsTheSystemRaisesThem) {
    X86Memory memory(1 << 20);
    ASSERT_TRUE(memory.Map(0x1000, 0x1000));
    const uint8_t code[] = {0xB8, 1, 0, 0, 0,     // mov eax, 1
                            0x8B, 0x08,           // mov ecx, [eax]   (address 1: not mapped)
                            0xCC};                // int3
    memory.Write(0x1000, code, sizeof code);
    X86Cpu cpu(memory);
    cpu.eip = 0x1000;
    cpu.reg[X86Cpu::Ecx] = 7;
    uint64_t steps = 10;
    EXPECT_EQ(X86Cpu::Stop::Fault, cpu.Run(steps));
    EXPECT_EQ(AccessViolation, cpu.faultCode);
    EXPECT_EQ(1u, cpu.faultAddress);
    EXPECT_EQ(0x1005u, cpu.eip);
    EXPECT_EQ(7u, cpu.reg[X86Cpu::Ecx]);
    cpu.eip = 0x1007;
    EXPECT_EQ(X86Cpu::Stop::Fault, cpu.Run(steps));
    EXPECT_EQ(Breakpoint, cpu.faultCode);
    // Memory is capped: mapping past the cap fails instead of growing.
    EXPECT_FALSE(memory.Map(0x100000, 2 << 20));
}

}  // namespace
