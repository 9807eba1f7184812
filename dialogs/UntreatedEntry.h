// One threat of the last scan that was not cured: its row in the progress dialog's list, the
// threat, and whether a copy of its file is in the quarantine.
#pragma once

#include "engine/AvCore.h"

#include <list>

struct UntreatedEntry {
    int row;
    AvCore::Threat threat;
    bool quarantined;
};

typedef std::list<UntreatedEntry> UntreatedList;
