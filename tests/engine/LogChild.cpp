// Writes diagnostic lines and exits with 0: log_child
#include "base/DiagnosticLog.h"

int main() {
    AvCore::ConfigureDiagnosticOutput();
    for (int i = 0; i < 2000; ++i) {
        AvCore::DebugLine() << L"Loading container: d:\\TER.QUAR\\\x0444\x0430\x0439\x043B-" << i << L".tqr" << L'\n';
        AvCore::WarnLine() << L"Failed to load container : " << "Quarantine error: Validation error" << L'\n';
    }
    return 0;
}
