// Parsing the command line of tervscan.exe.
#include "app/console/ConsoleOptions.h"

#include <cwchar>

const wchar_t* const ConsoleUsage =
    L"Usage:\n"
    L"  tervscan [--no-cure] [--all-files] [--engine FOLDER] PATH...\n"
    L"      Scans the files and folders given. Only potentially dangerous file types are taken from\n"
    L"      folders unless --all-files is given; --no-cure reports threats without curing them.\n"
    L"      Each detection is one line: PATH: THREAT FOUND, followed by (cured) and (quarantined)\n"
    L"      when that happened. Exit code 0: nothing found, 1: threats found, 2: error.\n"
    L"  tervscan --quarantine list\n"
    L"      One line per entry: identifier, time (seconds since 1970), origin code, threat,\n"
    L"      original path and container path, separated by tabs.\n"
    L"  tervscan --quarantine restore ID [--to FOLDER]\n"
    L"      Restores the entry to its original place (or into FOLDER) and removes it.\n"
    L"  tervscan --quarantine delete ID\n"
    L"      Deletes the entry and its container.\n"
    L"  tervscan --help\n";

namespace {

bool ParseIdentifier(const std::wstring& text, int& out) {
    if (text.empty() || text.size() > 9) return false;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    out = static_cast<int>(std::wcstol(text.c_str(), nullptr, 10));
    return out > 0;
}

}  // namespace

ConsoleOptions ParseCommandLine(const std::vector<std::wstring>& arguments) {
    ConsoleOptions options;
    bool scanOptions = false;
    for (size_t i = 0; i < arguments.size() && options.error.empty(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            options.mode = ConsoleOptions::Help;
            return options;
        } else if (argument == L"--no-cure") {
            options.cure = false;
            scanOptions = true;
        } else if (argument == L"--all-files") {
            options.allFiles = true;
            scanOptions = true;
        } else if (argument == L"--engine") {
            if (i + 1 == arguments.size()) options.error = L"--engine needs a folder";
            else options.engineFolder = arguments[++i];
        } else if (argument == L"--quarantine") {
            const std::wstring action = i + 1 < arguments.size() ? arguments[++i] : L"";
            if (action == L"list") {
                options.mode = ConsoleOptions::QuarantineList;
            } else if (action == L"restore" || action == L"delete") {
                options.mode = action == L"restore" ? ConsoleOptions::QuarantineRestore : ConsoleOptions::QuarantineDelete;
                if (i + 1 == arguments.size() || !ParseIdentifier(arguments[++i], options.identifier))
                    options.error = L"--quarantine " + action + L" needs an identifier (a positive number)";
            } else {
                options.error = L"--quarantine needs list, restore or delete";
            }
        } else if (argument == L"--to") {
            if (i + 1 == arguments.size()) options.error = L"--to needs a folder";
            else options.restoreFolder = arguments[++i];
        } else if (argument == L"--") {
            options.paths.insert(options.paths.end(), arguments.begin() + i + 1, arguments.end());
            break;
        } else if (argument.size() > 1 && argument[0] == L'-') {
            options.error = L"unknown option " + argument;
        } else {
            options.paths.push_back(argument);
        }
    }
    if (!options.error.empty()) return options;
    if (options.mode == ConsoleOptions::Scan) {
        if (options.paths.empty()) options.error = L"no file or folder to scan";
        else if (!options.restoreFolder.empty()) options.error = L"--to belongs to --quarantine restore";
    } else if (!options.paths.empty() || scanOptions) {
        options.error = L"--quarantine takes no paths or scan options";
    } else if (!options.restoreFolder.empty() && options.mode != ConsoleOptions::QuarantineRestore) {
        options.error = L"--to belongs to --quarantine restore";
    }
    return options;
}
