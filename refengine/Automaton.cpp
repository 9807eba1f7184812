// Building the anchor automaton.
#include "refengine/Automaton.h"

#include <algorithm>
#include <deque>

namespace RefEngine {
namespace {

const uint8_t DenseDepth = 1;
const size_t MaxDenseStates = 20000;

}  // namespace

Automaton::Automaton() : states_(1) {}

uint32_t Automaton::Child(uint32_t state, uint8_t byte) const {
    const auto& edges = states_[state].edges;
    const auto it = std::lower_bound(edges.begin(), edges.end(), std::make_pair(byte, uint32_t(0)));
    return it != edges.end() && it->first == byte ? it->second : 0;
}

void Automaton::Add(const uint8_t* bytes, size_t length, uint32_t id) {
    uint32_t state = 0;
    for (size_t i = 0; i < length; ++i) {
        uint32_t child = Child(state, bytes[i]);
        if (!child) {
            child = static_cast<uint32_t>(states_.size());
            states_.emplace_back();
            states_[child].depth = static_cast<uint8_t>(std::min<size_t>(i + 1, 255));
            auto& edges = states_[state].edges;
            edges.insert(std::lower_bound(edges.begin(), edges.end(), std::make_pair(bytes[i], uint32_t(0))),
                         std::make_pair(bytes[i], child));
        }
        state = child;
    }
    states_[state].ids.push_back(id);
    states_[state].output = true;
}

void Automaton::Build() {
    // Breadth first: every state's failure target is done before the state itself.
    std::vector<uint32_t> order(1, 0);
    for (size_t next = 0; next < order.size(); ++next)
        for (const auto& edge : states_[order[next]].edges) order.push_back(edge.second);

    dense_.clear();
    for (uint32_t state : order) {
        State& current = states_[state];
        if (current.depth <= DenseDepth && dense_.size() < MaxDenseStates) {
            current.dense = static_cast<uint32_t>(dense_.size());
            dense_.emplace_back();
        }
    }
    // Failure links, parent by parent, in breadth-first order.
    for (uint32_t state : order) {
        for (const auto& edge : states_[state].edges) {
            const uint32_t child = edge.second;
            if (state == 0) {
                states_[child].fail = 0;
            } else {
                uint32_t fail = states_[state].fail;
                uint32_t target = 0;
                for (;;) {
                    target = Child(fail, edge.first);
                    if (target || fail == 0) break;
                    fail = states_[fail].fail;
                }
                states_[child].fail = target == child ? 0 : target;
            }
            const State& failState = states_[states_[child].fail];
            states_[child].outputLink = failState.output ? states_[child].fail : failState.outputLink;
        }
    }
    // Full rows for the shallow states: a missing edge goes where the failure state goes.
    for (uint32_t state : order) {
        const State& current = states_[state];
        if (current.dense == UINT32_MAX) continue;
        std::array<uint32_t, 256>& row = dense_[current.dense];
        for (int byte = 0; byte < 256; ++byte) {
            const uint32_t child = Child(state, static_cast<uint8_t>(byte));
            row[byte] = child ? child : state == 0 ? 0 : dense_[states_[current.fail].dense][byte];
        }
    }
    emits_.assign(states_.size(), 0);
    for (uint32_t state = 0; state < states_.size(); ++state)
        emits_[state] = states_[state].output || states_[state].outputLink ? 1 : 0;
}

}  // namespace RefEngine
