// A 32-bit x86 processor and its memory, interpreted, for running a packed program's unpacking code
// (hostile input): memory is mapped page by page up to a cap, every run is bounded by a number of
// instructions, and whatever the processor cannot do stops the run instead of being guessed at.
// Only what user-mode code of the integer instruction set does is here; no floating point, no SSE.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace RefEngine {

// Windows' exception codes for the faults the processor raises.
const uint32_t AccessViolation = 0xC0000005, Breakpoint = 0x80000003, SingleStep = 0x80000004,
               IllegalInstruction = 0xC000001D, DivideByZero = 0xC0000094, IntegerOverflow = 0xC0000095,
               PrivilegedInstruction = 0xC0000096;

class X86Memory {
public:
    static constexpr uint32_t PageSize = 4096;
    explicit X86Memory(uint64_t maxBytes);
    ~X86Memory();
    X86Memory(const X86Memory&) = delete;
    X86Memory& operator=(const X86Memory&) = delete;

    // Maps the pages from address for size bytes (zero-filled; those already mapped stay); false when the
    // cap would be passed.
    bool Map(uint32_t address, uint32_t size);
    bool IsMapped(uint32_t address) const { return Find(address) != nullptr; }
    // False, with nothing done, when a byte of the range is not mapped. Writes of the program mark the
    // pages written; those of the system around it (loading, answers of calls) do not.
    bool Read(uint32_t address, void* out, uint32_t size) const;
    bool Write(uint32_t address, const void* data, uint32_t size, bool byProgram = false);
    bool WasWritten(uint32_t address) const;
    // Marks the page holding address as run; true the first time.
    bool FirstRun(uint32_t address);
    // The page holding address, or nullptr; with its written mark.
    uint8_t* Find(uint32_t address) const;
    void MarkWritten(uint32_t address);

private:
    struct Page;
    struct Table;
    std::vector<std::unique_ptr<Table>> tables_;  // 1,024 tables of 1,024 pages each
    uint64_t left_;                               // bytes that may still be mapped
};

class X86Cpu {
public:
    enum Register { Eax, Ecx, Edx, Ebx, Esp, Ebp, Esi, Edi };
    enum class Stop {
        Steps,        // the instructions given were spent
        Fault,        // an exception was raised (code, address below); eip is the faulting instruction's
        Unsupported,  // an instruction the interpreter does not know; eip is at it
        Watch,        // eip entered a page the caller watches (see watch)
    };

    explicit X86Cpu(X86Memory& memory) : memory_(memory) {}
    uint32_t reg[8] = {};
    uint32_t eip = 0;
    uint32_t flags = 0x202;
    uint32_t fsBase = 0;
    // Raised by the last fault.
    uint32_t faultCode = 0, faultAddress = 0;
    // Asked whenever eip enters another page: true stops the run (Stop::Watch) before the instruction.
    virtual bool Watch(uint32_t /*eip*/) { return false; }

    // Runs until steps (counted down) are spent or something stops it.
    Stop Run(uint64_t& steps);

    virtual ~X86Cpu() = default;

private:
    // Raise a fault (an exception the run catches): only while an instruction runs.
    uint32_t Pop();
    void Push(uint32_t value);
    struct Operand;
    bool Step();  // false: unsupported
    // The one-byte opcodes that come in families of a range (an operation or a register in their low
    // bits), all supported: false when the opcode is none of them.
    bool RangeOpcode(uint8_t opcode, int size);
    // Every other one-byte opcode (and 0x0F, the two-byte ones); false: unsupported.
    bool SingleOpcode(uint8_t opcode, int size, int repeat);
    void Fault(uint32_t code, uint32_t address = 0);
    uint32_t Load(uint32_t address, int size);
    void Store(uint32_t address, uint32_t value, int size);
    uint8_t Fetch8();
    uint32_t Fetch(int size);
    uint32_t GetReg(int index, int size) const;
    void SetReg(int index, int size, uint32_t value);
    Operand DecodeModRm(int size);
    uint32_t Get(const Operand& operand);
    void Set(const Operand& operand, uint32_t value);
    uint32_t Alu(int op, uint32_t a, uint32_t b, int size);
    uint32_t Shift(int op, uint32_t value, uint32_t count, int size);
    void LogicFlags(uint32_t result, int size);
    bool Condition(int code) const;
    bool StringOp(uint8_t opcode, int size, int repeat);
    bool Group3(const Operand& operand, int op, int size);
    bool TwoByte();

    X86Memory& memory_;
    uint32_t start_ = 0;       // eip of the instruction being run
    int segment_ = -1;         // a segment override: 4 for fs
    bool operand16_ = false;
    uint64_t cycles_ = 0;      // what rdtsc reads
};

}  // namespace RefEngine
