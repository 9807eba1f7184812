// Building the anchor automaton.
#include "refengine/Automaton.h"

#include <algorithm>
#include <deque>

namespace RefEngine {

Automaton::Automaton() : states_(1) {
    for (uint32_t& next : root_) next = 0;
}

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
    for (uint32_t& next : root_) next = 0;
    std::deque<uint32_t> queue;
    for (const auto& edge : states_[0].edges) {
        root_[edge.first] = edge.second;
        states_[edge.second].fail = 0;
        queue.push_back(edge.second);
    }
    while (!queue.empty()) {
        const uint32_t state = queue.front();
        queue.pop_front();
        for (const auto& edge : states_[state].edges) {
            const uint32_t child = edge.second;
            uint32_t fail = states_[state].fail;
            while (fail && !Child(fail, edge.first)) fail = states_[fail].fail;
            const uint32_t target = fail ? Child(fail, edge.first) : root_[edge.first];
            states_[child].fail = target == child ? 0 : target;
            const State& failState = states_[states_[child].fail];
            states_[child].outputLink = failState.output ? states_[child].fail : failState.outputLink;
            queue.push_back(child);
        }
    }
}

}  // namespace RefEngine
