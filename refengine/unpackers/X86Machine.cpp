// The interpreter: one instruction at a time, decoded from memory as the processor would, flags kept
// after every instruction. A fault unwinds the instruction (registers and eip as before it) and
// stops the run; memory it wrote before faulting stays written, as it would on a processor for the
// few instructions that write twice.
#include "refengine/unpackers/X86Machine.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const uint32_t CF = 1, PF = 4, AF = 0x10, ZF = 0x40, SF = 0x80, TF = 0x100, DF = 0x400, OF = 0x800;
const uint32_t ArithmeticFlags = CF | PF | AF | ZF | SF | OF;

struct CpuFault {
    uint32_t code, address;
};

uint32_t Mask(int size) { return size == 4 ? 0xFFFFFFFFu : (1u << (size * 8)) - 1; }
uint32_t SignBit(int size) { return 1u << (size * 8 - 1); }
uint32_t SignExtend(uint32_t value, int size) {
    return size == 1 ? static_cast<uint32_t>(static_cast<int8_t>(value)) : size == 2 ? static_cast<uint32_t>(static_cast<int16_t>(value)) : value;
}
bool EvenParity(uint32_t value) {
    value &= 0xFF;
    value ^= value >> 4;
    value ^= value >> 2;
    value ^= value >> 1;
    return !(value & 1);
}

}  // namespace

struct X86Memory::Page {
    uint8_t bytes[PageSize];
    bool written = false, run = false;
};
struct X86Memory::Table {
    std::unique_ptr<Page> pages[1024];
};

X86Memory::X86Memory(uint64_t maxBytes) : tables_(1024), left_(maxBytes) {}
X86Memory::~X86Memory() = default;

bool X86Memory::Map(uint32_t address, uint32_t size) {
    if (size == 0) return true;
    const uint64_t first = address / PageSize, last = (static_cast<uint64_t>(address) + size - 1) / PageSize;
    if (last > 0xFFFFF) return false;
    for (uint64_t page = first; page <= last; ++page) {
        std::unique_ptr<Table>& table = tables_[page >> 10];
        if (!table) table.reset(new Table);
        std::unique_ptr<Page>& slot = table->pages[page & 1023];
        if (slot) continue;
        if (left_ < PageSize) return false;
        left_ -= PageSize;
        slot.reset(new Page);
        std::memset(slot->bytes, 0, PageSize);
    }
    return true;
}

uint8_t* X86Memory::Find(uint32_t address) const {
    const Table* table = tables_[address >> 22].get();
    if (!table) return nullptr;
    Page* page = table->pages[(address >> 12) & 1023].get();
    return page ? page->bytes : nullptr;
}

bool X86Memory::WasWritten(uint32_t address) const {
    const Table* table = tables_[address >> 22].get();
    const Page* page = table ? table->pages[(address >> 12) & 1023].get() : nullptr;
    return page && page->written;
}

bool X86Memory::FirstRun(uint32_t address) {
    Table* table = tables_[address >> 22].get();
    Page* page = table ? table->pages[(address >> 12) & 1023].get() : nullptr;
    if (!page || page->run) return false;
    page->run = true;
    return true;
}

void X86Memory::MarkWritten(uint32_t address) {
    Table* table = tables_[address >> 22].get();
    Page* page = table ? table->pages[(address >> 12) & 1023].get() : nullptr;
    if (page) page->written = true;
}

bool X86Memory::Read(uint32_t address, void* out, uint32_t size) const {
    for (uint32_t done = 0; done < size;) {
        const uint32_t at = address + done;
        const uint8_t* page = Find(at);
        if (!page) return false;
        const uint32_t n = std::min(size - done, PageSize - at % PageSize);
        std::memcpy(static_cast<uint8_t*>(out) + done, page + at % PageSize, n);
        done += n;
    }
    return true;
}

bool X86Memory::Write(uint32_t address, const void* data, uint32_t size, bool byProgram) {
    for (uint32_t done = 0; done < size; done += PageSize) {
        if (!Find(address + done)) return false;
        if (size - done < PageSize && !Find(address + size - 1)) return false;
    }
    for (uint32_t done = 0; done < size;) {
        const uint32_t at = address + done;
        uint8_t* page = Find(at);
        const uint32_t n = std::min(size - done, PageSize - at % PageSize);
        std::memcpy(page + at % PageSize, static_cast<const uint8_t*>(data) + done, n);
        if (byProgram) MarkWritten(at);
        done += n;
    }
    return true;
}

// ---- the processor ----

struct X86Cpu::Operand {
    bool isRegister = false;
    int reg = 0;
    uint32_t address = 0;
    int size = 4;
    int field = 0;  // the ModRM's middle field: a register or an opcode extension
};

void X86Cpu::Fault(uint32_t code, uint32_t address) { throw CpuFault{code, address}; }

uint32_t X86Cpu::Load(uint32_t address, int size) {
    const uint8_t* page = memory_.Find(address);
    if (page && address % X86Memory::PageSize <= X86Memory::PageSize - size) {
        const uint8_t* p = page + address % X86Memory::PageSize;
        return size == 1 ? p[0] : size == 2 ? p[0] | p[1] << 8 : p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    uint8_t bytes[4] = {};
    if (!memory_.Read(address, bytes, size)) Fault(AccessViolation, address);
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void X86Cpu::Store(uint32_t address, uint32_t value, int size) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 24)};
    if (!memory_.Write(address, bytes, size, true)) Fault(AccessViolation, address);
}

uint8_t X86Cpu::Fetch8() {
    const uint32_t value = Load(eip, 1);
    ++eip;
    return static_cast<uint8_t>(value);
}

uint32_t X86Cpu::Fetch(int size) {
    const uint32_t value = Load(eip, size);
    eip += size;
    return value;
}

uint32_t X86Cpu::GetReg(int index, int size) const {
    if (size == 4) return reg[index];
    if (size == 2) return reg[index] & 0xFFFF;
    return index < 4 ? reg[index] & 0xFF : (reg[index - 4] >> 8) & 0xFF;
}

void X86Cpu::SetReg(int index, int size, uint32_t value) {
    if (size == 4) reg[index] = value;
    else if (size == 2) reg[index] = (reg[index] & 0xFFFF0000u) | (value & 0xFFFF);
    else if (index < 4) reg[index] = (reg[index] & 0xFFFFFF00u) | (value & 0xFF);
    else reg[index - 4] = (reg[index - 4] & 0xFFFF00FFu) | (value & 0xFF) << 8;
}

X86Cpu::Operand X86Cpu::DecodeModRm(int size) {
    const uint8_t modrm = Fetch8();
    Operand operand;
    operand.size = size;
    operand.field = (modrm >> 3) & 7;
    const int mod = modrm >> 6, rm = modrm & 7;
    if (mod == 3) {
        operand.isRegister = true;
        operand.reg = rm;
        return operand;
    }
    uint32_t address = 0;
    if (rm == 4) {
        const uint8_t sib = Fetch8();
        const int scale = sib >> 6, index = (sib >> 3) & 7, base = sib & 7;
        if (base == 5 && mod == 0) address = Fetch(4);
        else address = reg[base];
        if (index != 4) address += reg[index] << scale;
    } else if (rm == 5 && mod == 0) {
        address = Fetch(4);
    } else {
        address = reg[rm];
    }
    if (mod == 1) address += SignExtend(Fetch8(), 1);
    else if (mod == 2) address += Fetch(4);
    if (segment_ == 4) address += fsBase;
    operand.address = address;
    return operand;
}

uint32_t X86Cpu::Get(const Operand& operand) {
    return operand.isRegister ? GetReg(operand.reg, operand.size) : Load(operand.address, operand.size);
}

void X86Cpu::Set(const Operand& operand, uint32_t value) {
    if (operand.isRegister) SetReg(operand.reg, operand.size, value);
    else Store(operand.address, value, operand.size);
}

void X86Cpu::LogicFlags(uint32_t result, int size) {
    result &= Mask(size);
    flags &= ~ArithmeticFlags;
    if (result == 0) flags |= ZF;
    if (result & SignBit(size)) flags |= SF;
    if (EvenParity(result)) flags |= PF;
}

// add, or, adc, sbb, and, sub, xor, cmp: the result (cmp's is not stored by the caller).
uint32_t X86Cpu::Alu(int op, uint32_t a, uint32_t b, int size) {
    const uint32_t mask = Mask(size), sign = SignBit(size);
    a &= mask;
    b &= mask;
    uint32_t result = 0;
    bool carry = false, overflow = false;
    const uint32_t carryIn = flags & CF ? 1 : 0;
    switch (op) {
    case 1: result = a | b; break;
    case 4: result = a & b; break;
    case 6: result = a ^ b; break;
    case 0:
    case 2: {
        const uint64_t full = static_cast<uint64_t>(a) + b + (op == 2 ? carryIn : 0);
        result = static_cast<uint32_t>(full) & mask;
        carry = (full >> (size * 8)) != 0;
        overflow = ((a ^ result) & (b ^ result) & sign) != 0;
        break;
    }
    default: {  // sbb, sub, cmp
        const uint64_t subtrahend = static_cast<uint64_t>(b) + (op == 3 ? carryIn : 0);
        result = static_cast<uint32_t>(a - subtrahend) & mask;
        carry = a < subtrahend;
        overflow = ((a ^ b) & (a ^ result) & sign) != 0;
        break;
    }
    }
    LogicFlags(result, size);
    if (op != 1 && op != 4 && op != 6) {
        if (carry) flags |= CF;
        if (overflow) flags |= OF;
        if ((a ^ b ^ result) & 0x10) flags |= AF;
    }
    return result;
}

// rol, ror, rcl, rcr, shl, shr, sal, sar.
uint32_t X86Cpu::Shift(int op, uint32_t value, uint32_t count, int size) {
    const int bits = size * 8;
    const uint32_t mask = Mask(size), sign = SignBit(size);
    value &= mask;
    count &= 0x1F;
    if (op == 2 || op == 3) count %= bits + 1;
    if (count == 0) return value;
    uint32_t result = value;
    bool carry = false;
    switch (op) {
    case 0: {
        const uint32_t n = count % bits;
        result = n ? ((value << n) | (value >> (bits - n))) & mask : value;
        carry = result & 1;
        break;
    }
    case 1: {
        const uint32_t n = count % bits;
        result = n ? ((value >> n) | (value << (bits - n))) & mask : value;
        carry = (result & sign) != 0;
        break;
    }
    case 2: {
        carry = flags & CF;
        for (uint32_t i = 0; i < count; ++i) {
            const bool out = (result & sign) != 0;
            result = ((result << 1) | (carry ? 1 : 0)) & mask;
            carry = out;
        }
        break;
    }
    case 3: {
        carry = flags & CF;
        for (uint32_t i = 0; i < count; ++i) {
            const bool out = result & 1;
            result = (result >> 1) | (carry ? sign : 0);
            carry = out;
        }
        break;
    }
    case 4:
    case 6:
        carry = count <= static_cast<uint32_t>(bits) && ((static_cast<uint64_t>(value) << (count - 1)) & sign);
        result = static_cast<uint32_t>(static_cast<uint64_t>(value) << count) & mask;
        break;
    case 5:
        carry = count <= static_cast<uint32_t>(bits) && ((value >> (count - 1)) & 1);
        result = static_cast<uint32_t>(static_cast<uint64_t>(value) >> count);
        break;
    default: {
        const int32_t signedValue = static_cast<int32_t>(SignExtend(value, size));
        const uint32_t n = count >= static_cast<uint32_t>(bits) ? bits - 1 : count;
        carry = (signedValue >> (n == count ? count - 1 : n)) & 1;
        result = static_cast<uint32_t>(signedValue >> n) & mask;
        break;
    }
    }
    if (op >= 4) LogicFlags(result, size);
    else flags &= ~(CF | OF);
    if (carry) flags |= CF;
    bool overflow;
    if (op == 0 || op == 2 || op == 4 || op == 6) overflow = ((result & sign) != 0) != carry;
    else if (op == 5) overflow = (value & sign) != 0;
    else if (op == 7) overflow = false;
    else overflow = ((result ^ (result << 1)) & sign) != 0;
    flags = overflow ? flags | OF : flags & ~OF;
    return result;
}

bool X86Cpu::Condition(int code) const {
    bool result;
    switch (code >> 1) {
    case 0: result = flags & OF; break;
    case 1: result = flags & CF; break;
    case 2: result = flags & ZF; break;
    case 3: result = flags & (CF | ZF); break;
    case 4: result = flags & SF; break;
    case 5: result = flags & PF; break;
    case 6: result = !(flags & SF) != !(flags & OF); break;
    default: result = (flags & ZF) || !(flags & SF) != !(flags & OF); break;
    }
    return (code & 1) ? !result : result;
}

uint32_t X86Cpu::Pop() {
    const uint32_t value = Load(reg[Esp], 4);
    reg[Esp] += 4;
    return value;
}

void X86Cpu::Push(uint32_t value) {
    Store(reg[Esp] - 4, value, 4);
    reg[Esp] -= 4;
}

// movs, cmps, stos, lods, scas: one element; with a repeat prefix, eip stays on the instruction until
// the count runs out, so that every element counts as a step.
bool X86Cpu::StringOp(uint8_t opcode, int size, int repeat) {
    if (repeat && reg[Ecx] == 0) return true;
    const int32_t delta = flags & DF ? -size : size;
    const uint32_t source = reg[Esi] + (segment_ == 4 ? fsBase : 0);
    bool equal = true;
    switch (opcode & 0xFE) {
    case 0xA4:
        Store(reg[Edi], Load(source, size), size);
        reg[Esi] += delta;
        reg[Edi] += delta;
        break;
    case 0xA6:
        Alu(7, Load(source, size), Load(reg[Edi], size), size);
        equal = flags & ZF;
        reg[Esi] += delta;
        reg[Edi] += delta;
        break;
    case 0xAA:
        Store(reg[Edi], reg[Eax], size);
        reg[Edi] += delta;
        break;
    case 0xAC:
        SetReg(Eax, size, Load(source, size));
        reg[Esi] += delta;
        break;
    case 0xAE:
        Alu(7, reg[Eax], Load(reg[Edi], size), size);
        equal = flags & ZF;
        reg[Edi] += delta;
        break;
    default: return false;
    }
    if (repeat) {
        --reg[Ecx];
        const bool compares = (opcode & 0xFE) == 0xA6 || (opcode & 0xFE) == 0xAE;
        const bool goOn = reg[Ecx] != 0 && (!compares || (repeat == 0xF3 ? equal : !equal));
        if (goOn) eip = start_;
    }
    return true;
}

// test, not, neg, mul, imul, div, idiv.
bool X86Cpu::Group3(const Operand& operand, int op, int size) {
    const uint32_t mask = Mask(size);
    const uint32_t value = Get(operand);
    switch (op) {
    case 0:
    case 1: LogicFlags(value & Fetch(size == 4 ? 4 : size), size); return true;
    case 2: Set(operand, ~value & mask); return true;
    case 3: {
        const uint32_t result = Alu(5, 0, value, size);
        Set(operand, result);
        return true;
    }
    case 4:
    case 5: {
        uint64_t product;
        bool wide;
        if (op == 4) {
            product = static_cast<uint64_t>(value) * GetReg(Eax, size);
            wide = (product >> (size * 8)) != 0;
        } else {
            const int64_t p = static_cast<int64_t>(static_cast<int32_t>(SignExtend(value, size))) *
                              static_cast<int32_t>(SignExtend(GetReg(Eax, size), size));
            product = static_cast<uint64_t>(p);
            wide = static_cast<int64_t>(static_cast<int32_t>(SignExtend(static_cast<uint32_t>(p) & mask, size))) != p;
        }
        if (size == 1) SetReg(Eax, 2, static_cast<uint32_t>(product) & 0xFFFF);
        else {
            SetReg(Eax, size, static_cast<uint32_t>(product));
            SetReg(Edx, size, static_cast<uint32_t>(product >> (size * 8)));
        }
        flags = wide ? flags | CF | OF : flags & ~(CF | OF);
        return true;
    }
    default: {
        if ((value & mask) == 0) Fault(DivideByZero);
        const int bits = size * 8;
        uint64_t dividend = size == 1 ? GetReg(Eax, 2) : (static_cast<uint64_t>(GetReg(Edx, size)) << bits) | GetReg(Eax, size);
        uint64_t quotient, remainder;
        if (op == 6) {
            quotient = dividend / value;
            remainder = dividend % value;
            if (quotient > mask) Fault(DivideByZero);
        } else {
            int64_t signedDividend;
            if (bits == 32) signedDividend = static_cast<int64_t>(dividend);
            else signedDividend = static_cast<int64_t>(dividend << (64 - 2 * bits)) >> (64 - 2 * bits);
            const int64_t divisor = static_cast<int32_t>(SignExtend(value, size));
            if (divisor == -1 && signedDividend == INT64_MIN) Fault(DivideByZero);
            const int64_t q = signedDividend / divisor, r = signedDividend % divisor;
            if (q > static_cast<int64_t>(mask >> 1) || q < -static_cast<int64_t>(mask >> 1) - 1) Fault(DivideByZero);
            quotient = static_cast<uint64_t>(q);
            remainder = static_cast<uint64_t>(r);
        }
        if (size == 1) {
            SetReg(Eax, 1, static_cast<uint32_t>(quotient));
            SetReg(Esp, 1, static_cast<uint32_t>(remainder));  // ah
        } else {
            SetReg(Eax, size, static_cast<uint32_t>(quotient));
            SetReg(Edx, size, static_cast<uint32_t>(remainder));
        }
        return true;
    }
    }
}

bool X86Cpu::TwoByte() {
    const uint8_t opcode = Fetch8();
    const int size = operand16_ ? 2 : 4;
    if (opcode >= 0x80 && opcode <= 0x8F) {
        const uint32_t offset = Fetch(size);
        if (Condition(opcode & 15)) eip += offset;
        return true;
    }
    if (opcode >= 0x90 && opcode <= 0x9F) {
        const Operand operand = DecodeModRm(1);
        Set(operand, Condition(opcode & 15) ? 1 : 0);
        return true;
    }
    if (opcode >= 0x40 && opcode <= 0x4F) {
        const Operand operand = DecodeModRm(size);
        const uint32_t value = Get(operand);
        if (Condition(opcode & 15)) SetReg(operand.field, size, value);
        return true;
    }
    if (opcode >= 0xC8 && opcode <= 0xCF) {
        uint32_t& r = reg[opcode & 7];
        r = (r >> 24) | ((r >> 8) & 0xFF00) | ((r << 8) & 0xFF0000) | (r << 24);
        return true;
    }
    switch (opcode) {
    case 0x0B: Fault(IllegalInstruction); return true;
    case 0x31: {
        cycles_ += 1000;
        reg[Eax] = static_cast<uint32_t>(cycles_);
        reg[Edx] = static_cast<uint32_t>(cycles_ >> 32);
        return true;
    }
    case 0xA2: {  // a plain processor of the time
        const uint32_t leaf = reg[Eax];
        reg[Eax] = leaf == 0 ? 1 : leaf == 1 ? 0x6F2 : 0;
        reg[Ebx] = leaf == 0 ? 0x756E6547 : 0;
        reg[Edx] = leaf == 0 ? 0x49656E69 : leaf == 1 ? 0x0183F9FF : 0;
        reg[Ecx] = leaf == 0 ? 0x6C65746E : 0;
        return true;
    }
    case 0xA0: Push(0x3B); return true;  // push fs
    case 0xA1: Pop(); return true;       // pop fs
    case 0xA3: case 0xAB: case 0xB3: case 0xBB: case 0xBA: {
        const Operand operand = DecodeModRm(size);
        int op;
        uint32_t bit;
        Operand target = operand;
        if (opcode == 0xBA) {
            op = operand.field - 4;
            if (op < 0) return false;
            bit = Fetch8() & (size * 8 - 1);
        } else {
            op = (opcode >> 3) & 3;  // bt, bts, btr, btc
            const uint32_t index = GetReg(operand.field, size);
            if (!operand.isRegister) {
                target.address += static_cast<uint32_t>(static_cast<int32_t>(SignExtend(index, size)) >> 5) * 4;
                target.size = 4;
            }
            bit = index & (target.size * 8 - 1);
        }
        const uint32_t value = Get(target);
        flags = (value >> bit) & 1 ? flags | CF : flags & ~CF;
        if (op == 1) Set(target, value | 1u << bit);
        else if (op == 2) Set(target, value & ~(1u << bit));
        else if (op == 3) Set(target, value ^ 1u << bit);
        return true;
    }
    case 0xA4: case 0xA5: case 0xAC: case 0xAD: {  // shld, shrd
        const Operand operand = DecodeModRm(size);
        const uint32_t count = ((opcode & 1) ? reg[Ecx] : Fetch8()) & 31;
        if (count == 0) return true;
        const uint64_t value = Get(operand), other = GetReg(operand.field, size);
        const int bits = size * 8;
        if (static_cast<int>(count) > bits) return false;
        uint32_t result;
        bool carry;
        if (opcode < 0xA8) {
            const uint64_t both = (value << bits) | other;
            result = static_cast<uint32_t>((both << count) >> bits) & Mask(size);
            carry = (value >> (bits - count)) & 1;
        } else {
            const uint64_t both = (other << bits) | value;
            result = static_cast<uint32_t>(both >> count) & Mask(size);
            carry = (value >> (count - 1)) & 1;
        }
        Set(operand, result);
        LogicFlags(result, size);
        if (carry) flags |= CF;
        return true;
    }
    case 0xAF: {
        const Operand operand = DecodeModRm(size);
        const int64_t product = static_cast<int64_t>(static_cast<int32_t>(SignExtend(Get(operand), size))) *
                                static_cast<int32_t>(SignExtend(GetReg(operand.field, size), size));
        const uint32_t result = static_cast<uint32_t>(product) & Mask(size);
        SetReg(operand.field, size, result);
        const bool wide = static_cast<int64_t>(static_cast<int32_t>(SignExtend(result, size))) != product;
        flags = wide ? flags | CF | OF : flags & ~(CF | OF);
        return true;
    }
    case 0xB0: case 0xB1: {
        const int width = opcode == 0xB0 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        const uint32_t value = Get(operand);
        Alu(7, GetReg(Eax, width), value, width);
        if (flags & ZF) Set(operand, GetReg(operand.field, width));
        else SetReg(Eax, width, value);
        return true;
    }
    case 0xC0: case 0xC1: {
        const int width = opcode == 0xC0 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        const uint32_t value = Get(operand), other = GetReg(operand.field, width);
        const uint32_t sum = Alu(0, value, other, width);
        SetReg(operand.field, width, value);
        Set(operand, sum);
        return true;
    }
    case 0xB6: case 0xB7: case 0xBE: case 0xBF: {
        const int width = (opcode & 1) ? 2 : 1;
        const Operand operand = DecodeModRm(width);
        uint32_t value = Get(operand);
        if (opcode >= 0xBE) value = SignExtend(value, width);
        SetReg(operand.field, size, value);
        return true;
    }
    case 0xBC: case 0xBD: {
        const Operand operand = DecodeModRm(size);
        const uint32_t value = Get(operand) & Mask(size);
        if (value == 0) {
            flags |= ZF;
            return true;
        }
        flags &= ~ZF;
        int bit = 0;
        if (opcode == 0xBC) while (!((value >> bit) & 1)) ++bit;
        else for (bit = size * 8 - 1; !((value >> bit) & 1); --bit) {}
        SetReg(operand.field, size, static_cast<uint32_t>(bit));
        return true;
    }
    default: return false;
    }
}

bool X86Cpu::Step() {
    start_ = eip;
    segment_ = -1;
    operand16_ = false;
    int repeat = 0;
    uint8_t opcode;
    for (int prefixes = 0;; ++prefixes) {
        if (prefixes == 14) return false;
        opcode = Fetch8();
        if (opcode == 0x66) operand16_ = true;
        else if (opcode == 0x64) segment_ = 4;
        else if (opcode == 0x65) segment_ = 5;
        else if (opcode == 0x26 || opcode == 0x2E || opcode == 0x36 || opcode == 0x3E || opcode == 0xF0) {}
        else if (opcode == 0xF2 || opcode == 0xF3) repeat = opcode;
        else if (opcode == 0x67) return false;  // 16-bit addressing
        else break;
    }
    const int size = operand16_ ? 2 : 4;
    return RangeOpcode(opcode, size) || SingleOpcode(opcode, size, repeat);
}

bool X86Cpu::RangeOpcode(uint8_t opcode, int size) {
    if (opcode < 0x40 && (opcode & 7) < 6) {  // add, or, adc, sbb, and, sub, xor, cmp
        const int op = opcode >> 3, form = opcode & 7;
        const int width = (form & 1) ? size : 1;
        if (form >= 4) {
            const uint32_t result = Alu(op, GetReg(Eax, width), Fetch(width), width);
            if (op != 7) SetReg(Eax, width, result);
            return true;
        }
        const Operand operand = DecodeModRm(width);
        if (form < 2) {
            const uint32_t result = Alu(op, Get(operand), GetReg(operand.field, width), width);
            if (op != 7) Set(operand, result);
        } else {
            const uint32_t result = Alu(op, GetReg(operand.field, width), Get(operand), width);
            if (op != 7) SetReg(operand.field, width, result);
        }
        return true;
    }
    if (opcode >= 0x40 && opcode <= 0x4F) {
        const uint32_t carry = flags & CF;
        SetReg(opcode & 7, size, Alu(opcode < 0x48 ? 0 : 5, GetReg(opcode & 7, size), 1, size));
        flags = (flags & ~CF) | carry;
        return true;
    }
    if (opcode >= 0x50 && opcode <= 0x57) {
        if (operand16_) {
            Store(reg[Esp] - 2, GetReg(opcode & 7, 2), 2);
            reg[Esp] -= 2;
        } else {
            Push(reg[opcode & 7]);
        }
        return true;
    }
    if (opcode >= 0x58 && opcode <= 0x5F) {
        if (operand16_) {
            const uint32_t value = Load(reg[Esp], 2);
            reg[Esp] += 2;
            SetReg(opcode & 7, 2, value);
        } else {
            const uint32_t value = Pop();
            reg[opcode & 7] = value;
        }
        return true;
    }
    if (opcode >= 0x70 && opcode <= 0x7F) {
        const uint32_t offset = SignExtend(Fetch8(), 1);
        if (Condition(opcode & 15)) eip += offset;
        return true;
    }
    if (opcode >= 0x91 && opcode <= 0x97) {
        const uint32_t value = GetReg(opcode & 7, size);
        SetReg(opcode & 7, size, GetReg(Eax, size));
        SetReg(Eax, size, value);
        return true;
    }
    if (opcode >= 0xB0 && opcode <= 0xBF) {
        const int width = opcode < 0xB8 ? 1 : size;
        SetReg(opcode & 7, width, Fetch(width));
        return true;
    }
    return false;
}

bool X86Cpu::SingleOpcode(uint8_t opcode, int size, int repeat) {
    switch (opcode) {
    case 0x0F: return TwoByte();
    case 0x06: case 0x0E: case 0x16: case 0x1E: Push(opcode == 0x0E ? 0x1B : 0x23); return true;
    case 0x07: case 0x17: case 0x1F: Pop(); return true;
    case 0x60: {
        const uint32_t saved[8] = {reg[0], reg[1], reg[2], reg[3], reg[4], reg[5], reg[6], reg[7]};
        for (int i = 0; i < 8; ++i) Push(saved[i]);
        return true;
    }
    case 0x61: {
        uint32_t values[8];
        for (int i = 7; i >= 0; --i) values[i] = Load(reg[Esp] + (7 - i) * 4, 4);
        for (int i = 0; i < 8; ++i) if (i != Esp) reg[i] = values[i];
        reg[Esp] += 32;
        return true;
    }
    case 0x68: Push(Fetch(size)); return true;
    case 0x6A: Push(SignExtend(Fetch8(), 1)); return true;
    case 0x69: case 0x6B: {
        const Operand operand = DecodeModRm(size);
        const uint32_t factor = opcode == 0x6B ? SignExtend(Fetch8(), 1) : Fetch(size);
        const int64_t product = static_cast<int64_t>(static_cast<int32_t>(SignExtend(Get(operand), size))) *
                                static_cast<int32_t>(SignExtend(factor, size));
        const uint32_t result = static_cast<uint32_t>(product) & Mask(size);
        SetReg(operand.field, size, result);
        const bool wide = static_cast<int64_t>(static_cast<int32_t>(SignExtend(result, size))) != product;
        flags = wide ? flags | CF | OF : flags & ~(CF | OF);
        return true;
    }
    case 0x80: case 0x81: case 0x83: {
        const int width = opcode == 0x80 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        const uint32_t value = opcode == 0x83 ? SignExtend(Fetch8(), 1) : Fetch(width);
        const uint32_t result = Alu(operand.field, Get(operand), value, width);
        if (operand.field != 7) Set(operand, result);
        return true;
    }
    case 0x84: case 0x85: {
        const int width = opcode == 0x84 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        LogicFlags(Get(operand) & GetReg(operand.field, width), width);
        return true;
    }
    case 0x86: case 0x87: {
        const int width = opcode == 0x86 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        const uint32_t value = Get(operand);
        Set(operand, GetReg(operand.field, width));
        SetReg(operand.field, width, value);
        return true;
    }
    case 0x88: case 0x89: {
        const int width = opcode == 0x88 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        Set(operand, GetReg(operand.field, width));
        return true;
    }
    case 0x8A: case 0x8B: {
        const int width = opcode == 0x8A ? 1 : size;
        const Operand operand = DecodeModRm(width);
        SetReg(operand.field, width, Get(operand));
        return true;
    }
    case 0x8C: {  // mov from a segment register: the values a 32-bit process sees
        Operand operand = DecodeModRm(2);
        static const uint32_t selectors[8] = {0x23, 0x1B, 0x23, 0x23, 0x3B, 0, 0, 0};
        if (operand.isRegister) operand.size = size;
        Set(operand, selectors[operand.field]);
        return true;
    }
    case 0x8E: {
        const Operand operand = DecodeModRm(2);
        Get(operand);
        return operand.field != 1 && operand.field != 4;  // cs cannot be loaded; fs only as it is
    }
    case 0x8D: {
        const Operand operand = DecodeModRm(size);
        if (operand.isRegister) Fault(IllegalInstruction);
        SetReg(operand.field, size, operand.address - (segment_ == 4 ? fsBase : 0));
        return true;
    }
    case 0x8F: {
        const uint32_t value = Pop();
        const Operand operand = DecodeModRm(4);
        if (operand.field != 0) return false;
        Set(operand, value);
        return true;
    }
    case 0x90: return true;
    case 0x98: SetReg(Eax, size, SignExtend(GetReg(Eax, size / 2), size / 2)); return true;
    case 0x99: SetReg(Edx, size, (GetReg(Eax, size) & SignBit(size)) ? Mask(size) : 0); return true;
    case 0x9C: Push((flags & 0x00FCFFFF) | 2); return true;
    case 0x9D: {
        flags = (Pop() & 0x00254DD5) | 0x202;  // the flags user code may change
        return true;
    }
    case 0x9E: flags = (flags & ~0xD5u) | (GetReg(Esp, 1) & 0xD5); return true;   // sahf (ah)
    case 0x9F: SetReg(Esp, 1, (flags & 0xD5) | 2); return true;                   // lahf
    case 0xA0: case 0xA1: case 0xA2: case 0xA3: {
        const int width = (opcode & 1) ? size : 1;
        uint32_t address = Fetch(4);
        if (segment_ == 4) address += fsBase;
        if (opcode < 0xA2) SetReg(Eax, width, Load(address, width));
        else Store(address, GetReg(Eax, width), width);
        return true;
    }
    case 0xA4: case 0xA5: case 0xA6: case 0xA7: case 0xAA: case 0xAB: case 0xAC: case 0xAD: case 0xAE: case 0xAF:
        return StringOp(opcode, (opcode & 1) ? size : 1, repeat);
    case 0xA8: LogicFlags(GetReg(Eax, 1) & Fetch8(), 1); return true;
    case 0xA9: LogicFlags(GetReg(Eax, size) & Fetch(size), size); return true;
    case 0xC0: case 0xC1: case 0xD0: case 0xD1: case 0xD2: case 0xD3: {
        const int width = (opcode & 1) ? size : 1;
        const Operand operand = DecodeModRm(width);
        if (operand.field == 6) return false;
        const uint32_t count = opcode <= 0xC1 ? Fetch8() : opcode <= 0xD1 ? 1 : reg[Ecx] & 0xFF;
        const uint32_t value = Get(operand);
        Set(operand, Shift(operand.field, value, count, width));
        return true;
    }
    case 0xC2: {
        const uint32_t release = Fetch(2);
        eip = Pop();
        reg[Esp] += release;
        return true;
    }
    case 0xC3: eip = Pop(); return true;
    case 0xC6: case 0xC7: {
        const int width = opcode == 0xC6 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        if (operand.field != 0) return false;
        Set(operand, Fetch(width));
        return true;
    }
    case 0xC8: {
        const uint32_t frame = Fetch(2);
        if (Fetch8() != 0) return false;
        Push(reg[Ebp]);
        reg[Ebp] = reg[Esp];
        reg[Esp] -= frame;
        return true;
    }
    case 0xC9: {
        reg[Esp] = reg[Ebp];
        reg[Ebp] = Pop();
        return true;
    }
    case 0xCC: Fault(Breakpoint); return true;
    case 0xCD: Fault(AccessViolation); return true;
    case 0xD7: SetReg(Eax, 1, Load(reg[Ebx] + GetReg(Eax, 1) + (segment_ == 4 ? fsBase : 0), 1)); return true;
    case 0xE0: case 0xE1: case 0xE2: {
        const uint32_t offset = SignExtend(Fetch8(), 1);
        --reg[Ecx];
        bool jump = reg[Ecx] != 0;
        if (opcode == 0xE0) jump = jump && !(flags & ZF);
        if (opcode == 0xE1) jump = jump && (flags & ZF);
        if (jump) eip += offset;
        return true;
    }
    case 0xE3: {
        const uint32_t offset = SignExtend(Fetch8(), 1);
        if (reg[Ecx] == 0) eip += offset;
        return true;
    }
    case 0xE8: {
        const uint32_t offset = Fetch(4);
        Push(eip);
        eip += offset;
        return true;
    }
    case 0xE9: {
        const uint32_t offset = Fetch(4);
        eip += offset;
        return true;
    }
    case 0xEB: {
        const uint32_t offset = SignExtend(Fetch8(), 1);
        eip += offset;
        return true;
    }
    case 0xE4: case 0xE5: case 0xE6: case 0xE7: case 0xEC: case 0xED: case 0xEE: case 0xEF:
    case 0xF4: case 0xFA: case 0xFB:
        Fault(PrivilegedInstruction);
        return true;
    case 0xF1: Fault(SingleStep); return true;
    case 0xF5: flags ^= CF; return true;
    case 0xF6: case 0xF7: {
        const int width = opcode == 0xF6 ? 1 : size;
        const Operand operand = DecodeModRm(width);
        return Group3(operand, operand.field, width);
    }
    case 0xF8: flags &= ~CF; return true;
    case 0xF9: flags |= CF; return true;
    case 0xFC: flags &= ~DF; return true;
    case 0xFD: flags |= DF; return true;
    case 0xFE: case 0xFF: {
        const int width = opcode == 0xFE ? 1 : size;
        const Operand operand = DecodeModRm(width);
        if (operand.field < 2) {
            const uint32_t carry = flags & CF;
            Set(operand, Alu(operand.field == 0 ? 0 : 5, Get(operand), 1, width));
            flags = (flags & ~CF) | carry;
            return true;
        }
        if (opcode == 0xFE || width != 4) return false;
        const uint32_t target = Get(operand);
        switch (operand.field) {
        case 2: Push(eip); eip = target; return true;
        case 4: eip = target; return true;
        case 6: Push(target); return true;
        default: return false;
        }
    }
    default: return false;
    }
}

X86Cpu::Stop X86Cpu::Run(uint64_t& steps) {
    uint32_t page = eip / X86Memory::PageSize + 1;  // asks Watch of the first page too
    while (steps > 0) {
        if (eip / X86Memory::PageSize != page) {
            page = eip / X86Memory::PageSize;
            if (Watch(eip)) return Stop::Watch;
        }
        --steps;
        const uint32_t saved[8] = {reg[0], reg[1], reg[2], reg[3], reg[4], reg[5], reg[6], reg[7]};
        const uint32_t savedFlags = flags;
        const bool trap = (flags & TF) != 0;
        try {
            if (!Step()) {
                std::memcpy(reg, saved, sizeof saved);
                flags = savedFlags;
                eip = start_;
                return Stop::Unsupported;
            }
            if (trap) {
                flags &= ~TF;
                faultCode = SingleStep;
                faultAddress = eip;
                return Stop::Fault;
            }
        } catch (const CpuFault& fault) {
            std::memcpy(reg, saved, sizeof saved);
            flags = savedFlags;
            eip = start_;
            faultCode = fault.code;
            faultAddress = fault.address;
            return Stop::Fault;
        }
    }
    return Stop::Steps;
}

}  // namespace RefEngine
