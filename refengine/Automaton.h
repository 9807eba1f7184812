// Aho-Corasick automaton over the anchors of the body signatures: one pass over the data finds every
// anchor occurrence, whatever the number of signatures.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace RefEngine {

class Automaton {
public:
    Automaton();
    void Add(const uint8_t* bytes, size_t length, uint32_t id);
    void Build();

    // Feeds bytes; for each anchor that ends at a byte, calls found(id, offset of that byte).
    // Stops and returns false as soon as found returns false.
    template <typename Found>
    bool Feed(const uint8_t* data, size_t size, uint64_t base, uint32_t& state, Found found) const {
        for (size_t i = 0; i < size; ++i) {
            state = Next(state, data[i]);
            if (!emits_[state]) continue;
            for (uint32_t s = states_[state].output ? state : states_[state].outputLink; s; s = states_[s].outputLink)
                for (uint32_t id : states_[s].ids)
                    if (!found(id, base + i)) return false;
        }
        return true;
    }

private:
    struct State {
        std::vector<std::pair<uint8_t, uint32_t>> edges;  // sorted by byte
        uint32_t fail = 0;
        uint32_t outputLink = 0;  // nearest state along the failure chain that has ids
        uint32_t dense = UINT32_MAX;  // row of the full transition table, for the shallow states
        uint8_t depth = 0;
        bool output = false;
        std::vector<uint32_t> ids;
    };
    uint32_t Child(uint32_t state, uint8_t byte) const;
    uint32_t Next(uint32_t state, uint8_t byte) const {
        for (;;) {
            const State& current = states_[state];
            if (current.dense != UINT32_MAX) return dense_[current.dense][byte];
            const uint32_t child = Child(state, byte);
            if (child) return child;
            state = current.fail;
        }
    }

    std::vector<State> states_;
    // Full transitions of the states near the root, where most bytes of most files are decided.
    std::vector<std::array<uint32_t, 256>> dense_;
    std::vector<uint8_t> emits_;  // the state ends some anchor, its own or along its failure chain
};

}  // namespace RefEngine
