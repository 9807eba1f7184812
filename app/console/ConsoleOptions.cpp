// Parsing the command line of tervscan.exe.
#include "app/console/ConsoleOptions.h"

#include <cwchar>
#include <cwctype>

const wchar_t* const ConsoleUsage =
    L"Usage:\n"
    L"  tervscan [OPTIONS] PATH...\n"
    L"      Scans the files and folders given. Threats the engine can cure ARE CURED: each such file is\n"
    L"      first copied into the quarantine folder TER.QUAR on its drive (and left alone when that copy\n"
    L"      fails); use --no-cure to only report. Every file in the folders is scanned, archives and\n"
    L"      compressed files included, unless --dangerous-types is given.\n"
    L"      One line per file: PATH: OK, PATH: THREAT FOUND [(cured)] [(quarantined)] [(not cured: why)],\n"
    L"      or PATH: ERROR why (a file that could not be scanned, or a path that does not exist).\n"
    L"      Exit code 0: nothing found, 1: threats found, 2: an error (some file not scanned, a missing\n"
    L"      path, no usable engine, an interrupted scan).\n"
    L"    --no-cure                 report threats, change nothing\n"
    L"    --remove                  remove each infected file that was not cured, after its copy went\n"
    L"                              into the quarantine (restore it from there)\n"
    L"    --move FOLDER             move each infected file that was not cured into FOLDER, after its\n"
    L"                              copy went into the quarantine\n"
    L"    --dangerous-types         in folders, only potentially dangerous types and archives (as the\n"
    L"                              window's quick scan); files named are always scanned\n"
    L"    -i, --infected            print only detections and errors, no OK lines\n"
    L"    --exclude PATTERN         leave out files matching PATTERN (* and ?; with a backslash it is\n"
    L"                              matched against the whole path); may be repeated\n"
    L"    --exclude-dir PATTERN     leave out folders matching PATTERN; may be repeated\n"
    L"    -j, --jobs N              scan with N threads (default: one per processor, at most 32);\n"
    L"                              lines about different files may then come in any order\n"
    L"    -f, --file-list FILE      scan the paths listed in FILE, one a line\n"
    L"    -l, --log FILE            append the results to FILE too\n"
    L"    --engine FOLDER           the folder of ScanMain.DLL (default: Bases beside the program)\n"
    L"    -v, --verbose             diagnostic lines on standard error; with --version, each base\n"
    L"                              line the engine skipped, and why\n"
    L"  tervscan --quarantine list\n"
    L"      One line per entry: identifier (the container's GUID), time (seconds since 1970), origin\n"
    L"      code, threat, original path and container path, separated by tabs; a seventh field\n"
    L"      \"foreign\" when another user put the container there (restored only with --to).\n"
    L"  tervscan --quarantine restore ID [--to FOLDER]\n"
    L"      Restores the entry to its original place (a file there is copied into the quarantine\n"
    L"      first) or into FOLDER (never over a file there: \"name (2).ext\"), then removes the entry.\n"
    L"      ID is the GUID or any start of it that names one entry.\n"
    L"  tervscan --quarantine delete ID\n"
    L"      Deletes the entry and its container.\n"
    L"  tervscan --update [--engine FOLDER]\n"
    L"      Brings the bases up to date from the mirrors named in refengine.ini beside the engine\n"
    L"      ([update] mirror=https://...). Only files whose digest and digital signature check out and\n"
    L"      that the engine loads replace the old ones; anything else leaves the bases as they were.\n"
    L"      Exit code 0: current or updated, 2: some base could not be updated (the lines say why).\n"
    L"  tervscan --version\n"
    L"  tervscan --help\n";

namespace {

// An entry's identifier is its container's name without ".tqr" (a GUID for every container this
// program writes, but any name for one copied in): not an option, not a path.
bool IsEntryIdentifier(const std::wstring& text) {
    return !text.empty() && text.size() <= 255 && text[0] != L'-' && text.find_first_of(L"\\/:") == std::wstring::npos;
}

}  // namespace

ConsoleOptions ParseCommandLine(const std::vector<std::wstring>& arguments) {
    ConsoleOptions options;
    bool scanOptions = false;
    auto value = [&](size_t& i, const std::wstring& name, std::wstring& out) {
        if (i + 1 == arguments.size()) options.error = name + L" needs a value";
        else out = arguments[++i];
    };
    for (size_t i = 0; i < arguments.size() && options.error.empty(); ++i) {
        const std::wstring& argument = arguments[i];
        std::wstring text;
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            options.mode = ConsoleOptions::Help;
            return options;
        } else if (argument == L"--version" || argument == L"-V") {
            options.mode = ConsoleOptions::Version;
        } else if (argument == L"--update") {
            options.mode = ConsoleOptions::Update;
        } else if (argument == L"--no-cure") {
            options.cure = false;
            scanOptions = true;
        } else if (argument == L"--all-files") {
            options.dangerousOnly = false;  // the default now; kept for the scripts that say it
            scanOptions = true;
        } else if (argument == L"--remove") {
            options.remove = true;
            scanOptions = true;
        } else if (argument == L"--move" || argument.compare(0, 7, L"--move=") == 0) {
            if (argument == L"--move") value(i, argument, options.moveFolder);
            else options.moveFolder = argument.substr(7);
            if (options.error.empty() && options.moveFolder.empty()) options.error = L"--move needs a folder";
            scanOptions = true;
        } else if (argument == L"--dangerous-types") {
            options.dangerousOnly = true;
            scanOptions = true;
        } else if (argument == L"-i" || argument == L"--infected") {
            options.infectedOnly = true;
            scanOptions = true;
        } else if (argument == L"-v" || argument == L"--verbose") {
            options.verbose = true;
        } else if (argument == L"--exclude") {
            value(i, argument, text);
            options.excludeFiles.push_back(text);
            scanOptions = true;
        } else if (argument == L"--exclude-dir") {
            value(i, argument, text);
            options.excludeFolders.push_back(text);
            scanOptions = true;
        } else if (argument == L"-j" || argument == L"--jobs") {
            value(i, argument, text);
            wchar_t* end = nullptr;
            const long workers = text.empty() ? 0 : std::wcstol(text.c_str(), &end, 10);
            if (!options.error.empty()) {
            } else if (!end || *end || workers < 1 || workers > ConsoleOptions::MaxWorkers) {
                options.error = argument + L" needs a number from 1 to " + std::to_wstring(ConsoleOptions::MaxWorkers);
            } else {
                options.workers = static_cast<int>(workers);
            }
            scanOptions = true;
        } else if (argument == L"-f" || argument == L"--file-list") {
            value(i, argument, options.fileList);
            scanOptions = true;
        } else if (argument == L"-l" || argument == L"--log") {
            value(i, argument, options.logFile);
        } else if (argument == L"--engine") {
            value(i, argument, options.engineFolder);
        } else if (argument == L"--quarantine") {
            const std::wstring action = i + 1 < arguments.size() ? arguments[++i] : L"";
            if (action == L"list") {
                options.mode = ConsoleOptions::QuarantineList;
            } else if (action == L"restore" || action == L"delete") {
                options.mode = action == L"restore" ? ConsoleOptions::QuarantineRestore : ConsoleOptions::QuarantineDelete;
                if (i + 1 == arguments.size() || !IsEntryIdentifier(arguments[i + 1]))
                    options.error = L"--quarantine " + action + L" needs an entry's identifier (its GUID, or a start of it)";
                else
                    options.entry = arguments[++i];
            } else {
                options.error = L"--quarantine needs list, restore or delete";
            }
        } else if (argument == L"--to") {
            value(i, argument, options.restoreFolder);
        } else if (argument == L"--") {
            options.paths.insert(options.paths.end(), arguments.begin() + i + 1, arguments.end());
            break;
        } else if (argument.size() > 1 && argument[0] == L'-') {
            options.error = L"unknown option " + argument;
        } else {
            options.paths.push_back(argument);
        }
    }
    if (!options.error.empty() || options.mode == ConsoleOptions::Version) return options;
    if (options.mode == ConsoleOptions::Scan) {
        if (options.paths.empty() && options.fileList.empty()) options.error = L"no file or folder to scan";
        else if (!options.restoreFolder.empty()) options.error = L"--to belongs to --quarantine restore";
        else if ((options.remove || !options.moveFolder.empty()) && !options.cure)
            options.error = L"--no-cure changes nothing: it cannot go with --remove or --move";
        else if (options.remove && !options.moveFolder.empty()) options.error = L"--remove and --move exclude each other";
    } else if (options.mode == ConsoleOptions::Update) {
        if (!options.paths.empty() || scanOptions || !options.restoreFolder.empty()) options.error = L"--update takes no paths or scan options";
    } else if (!options.paths.empty() || scanOptions) {
        options.error = L"--quarantine takes no paths or scan options";
    } else if (!options.restoreFolder.empty() && options.mode != ConsoleOptions::QuarantineRestore) {
        options.error = L"--to belongs to --quarantine restore";
    }
    return options;
}
