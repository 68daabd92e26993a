// What a check finds, said once as an event to the run's one sink: a module's format, its
// imports, each DLL's load outcome with its cause, each entry, each failure, the errors that
// end a module or the run. The text report and the record behind -e, -j and -g are both made
// from these events; the format processors print nothing themselves.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talvek {

// Result codes of a module's check, which the named module turns into the exit code.
enum : int32_t {
    RC_OK = 0,
    RC_NOT_PROCESSED = 1,     // command-line error, help, or module skipped
    RC_OPEN_FAILED = 2,
    RC_READ_ERROR = 3,
    RC_BAD_FORMAT = 4,
    RC_NO_MEMORY = 6,
    RC_BAD_PE_HEADER = 8,
    RC_MISSING = 10,          // with -e: the named module is fine, something it needs is not
    RC_NOT_DEPLOYED = 11,     // --deploy: a DLL was not copied (a different file is in the way, or the copy failed)
    RC_LINK_ERRORS = 12,
    RC_BAD_MODULE_TABLE = 55,
};

// The failures a check reports, each with its message in the message table.
enum REPORT_ERROR : uint8_t {
    ERR_READING,              // Err_Reading
    ERR_NOT_KAVRI,            // Err_FileNotKAVRI
    ERR_LINK_ERRORS,          // Err_LinkErrors, with the module's file
    ERR_NO_MEMORY,            // Err_NoMemory
    ERR_BAD_ENDIAN,           // Err_BadEndian
    ERR_BAD_MODULE_TABLE,     // Err_BadModuleTable
    ERR_OPEN_FAILED,          // Err_OpenFail, with the file
    ERR_NO_MORE_FILES,        // no memory for one more registry record
    ERR_PE_FORMAT,            // the PE format error that ends the run
    ERR_NO_MODULE_IN_FOLDER,  // with -m: a folder named holds no module (text: the folder)
    ERR_NOT_LOADABLE,         // a PE module the loader would refuse (text: why and where; cause)
    ERR_HOST,                 // --host: what is wrong with the host, or with loading its own imports (text)
};

// The lines printed outside the indentation of the report.
enum REPORT_NOTE : uint8_t {
    NOTE_SHORT_HEADER,        // a PE module with a 28-byte optional header
    NOTE_WINDOWS_MODULE,      // an NE module marked for 16-bit Windows
    NOTE_NO_MODULE_IN_FOLDER, // with -m: a folder named holds no module, beside others that do (text)
    NOTE_PASSED_OVER,         // files of --ship-from folders the search passed over (cause; machine)
};

// Where the loader took a loaded DLL's file from, told when the run targets a Windows version.
enum DLL_ORIGIN : uint8_t {
    ORIGIN_UNKNOWN,       // not told
    ORIGIN_APPLICATION,   // the folder of the module named on the command line
    ORIGIN_SYSTEM,        // a system folder: WINEPATH's, or Wine's DLL folder
    ORIGIN_ELSEWHERE,     // the current folder, PATH, or the folder an import names
    ORIGIN_ABSENT,        // no file: a stand-in for a DLL of the target Windows that is not here
    ORIGIN_HOST,          // with --host: the host, a DLL it loads for itself, or a file of its folder
};

// Where a DLL that the search of a host's loader did not find lies all the same: a place that
// search leaves out (the current folder and PATH, which the safe search never takes).
enum OUTSIDE_SEARCH : uint8_t { OUTSIDE_NONE, OUTSIDE_CURRENT_FOLDER, OUTSIDE_PATH };

enum REPORT_FORMAT : uint8_t { FMT_NONE, FMT_LX, FMT_NE, FMT_PE32, FMT_PE32PLUS, FMT_UNKNOWN };

// One step on the way from the DLL asked for to the import that failed: the module that
// imports it (its path; empty for the DLL asked for), the DLL as that module names it, the
// file the search found for it (empty when none), and, when one of its entries failed rather
// than the DLL itself, that entry. outside: a DLL that the search did not find lies in a place
// that search leaves out, as the file outsideFile.
struct LOAD_STEP {
    std::string importer;
    std::string dll;
    std::string file;
    bool fEntry = false;
    bool fOrdinal = false;
    uint32_t ordinal = 0;
    std::string entry;
    uint32_t error = 0;
    OUTSIDE_SEARCH outside = OUTSIDE_NONE;
    std::string outsideFile;
};

// Why a DLL did not load, or an entry did not resolve, as the loader found it: the chain of
// steps from what was asked for down to the first import that failed (the last step, the
// leaf, is what really is missing); for a leaf that failed with 193, the files the search
// passed over as another machine's or as no loadable image; and, where the loader knows it,
// what is wrong with the leaf's file. fUnknown: the loader gave only the code and no cause
// could be found. fNoSystemFolder: a DLL was searched for while no system folder was known
// (WINEPATH not set and no Wine DLL folder found). passedOverMachines holds the Machine of each
// file passed over, machine the one of the process the load ran in (0: not told). fUnverified: under a target Windows, the entry is missing only from Wine's
// copy of a DLL of that Windows, whose own copy could not be checked here.
struct LOAD_FAILURE {
    uint32_t error = 0;
    std::vector<LOAD_STEP> chain;
    std::vector<std::string> passedOver;
    std::vector<uint16_t> passedOverMachines;
    uint16_t machine = 0;
    std::string reason;
    bool fUnknown = false;
    bool fNoSystemFolder = false;
    bool fUnverified = false;
};

enum REPORT_KIND : uint8_t {
    RPT_NAMED,        // with -m: the next module named (text: its file; code: how many were named before
                      // it; path: the folder named that holds it, empty for a file named; fNamed:
                      // more than one module is checked, so each is headed)
    RPT_MODULE,       // a module file handed to the check (text: the file as handed; fNamed: a module
                      // named with -m, checked even when it was checked before); its events follow
    RPT_OPENED,       // its file is open
    RPT_FORMAT,       // its format line (format; FMT_UNKNOWN: text holds the two signature bytes)
    RPT_ERROR,        // a failure, reported where found (error; text: the file it names; code: the result;
                      // cause: for ERR_NOT_LOADABLE, the loader's)
    RPT_NOTE,         // a line beside the report (note)
    RPT_COUNT,        // PE: the count of imported modules (machine: the module's), or with fDelay of
                      // delay-loaded ones (code)
    RPT_IMPORT,       // a DLL the module imports (text: its name as stored; fDelay)
    RPT_LOADED,       // PE: the last import loaded (path: the loader's path of its file; origin,
                      // fWindows, fWineBuiltin: where from, whether part of the target Windows of
                      // machine, whether its file is Wine's own; fHost: it is the program that
                      // loads the module, with no path when no --host names it)
    RPT_FORWARDED,    // PE, under a target Windows: an entry of the last import resolved in another
                      // DLL through a forwarder (path, origin, fWindows, fWineBuiltin, machine as
                      // for RPT_LOADED)
    RPT_NOT_LOADED,   // PE: the last import did not load (code: the loader's error; cause; machine)
    RPT_ENTRY,        // an entry of the last import (fOrdinal, ordinal or text: the name; code: 0
                      // resolved, the loader's error, or ENTRY_NOT_ASKED; fCallGate; cause)
    RPT_LISTING,      // a line of an NE listing (text)
    RPT_ALL_LOADED,   // every DLL of the module loaded and every entry resolved (text: its file)
    RPT_END,          // the module's check ended (code: its result)
    RPT_FATAL,        // the run ends now (error; code: the exit code)
};

// The outcome of an entry that no loader was asked about (LX, NE).
constexpr int32_t ENTRY_NOT_ASKED = -1;

struct REPORT_EVENT {
    explicit REPORT_EVENT(REPORT_KIND k) : kind(k) {}
    REPORT_KIND kind;
    REPORT_FORMAT format = FMT_NONE;
    REPORT_ERROR error = ERR_READING;
    REPORT_NOTE note = NOTE_SHORT_HEADER;
    bool fDelay = false;
    bool fOrdinal = false;
    bool fCallGate = false;
    bool fNamed = false;
    bool fWindows = false;
    bool fHost = false;
    bool fWineBuiltin = false;
    DLL_ORIGIN origin = ORIGIN_UNKNOWN;
    uint16_t machine = 0;
    uint32_t level = 0;       // the recursion depth of the module it concerns, set by the run
    uint32_t ordinal = 0;
    int32_t code = 0;
    std::string_view text = {};
    std::string_view path = {};
    const LOAD_FAILURE* cause = nullptr;
};

// Where events go: the run hears every event of the checks it drives and hands each on, with
// its level, to the listener its caller gave it.
struct REPORT_SINK {
    virtual ~REPORT_SINK() = default;
    virtual void event(const REPORT_EVENT& ev) = 0;
};

inline void report(REPORT_SINK* sink, const REPORT_EVENT& ev) { sink->event(ev); }

// Reports an event that carries no more than a text and a code. Out of line, so that a
// check's frames keep no event of their own.
void report_simple(REPORT_SINK* sink, REPORT_KIND kind, std::string_view text = {}, int32_t code = 0);

// Reports a failure of the current module and returns rc, the result it gives.
int32_t report_error(REPORT_SINK* sink, REPORT_ERROR error, int32_t rc, std::string_view file = {});

// Reports the failure that ends the run and returns rc, its exit code. The caller returns at
// once; the run ends when the check returns to it.
int32_t report_fatal(REPORT_SINK* sink, REPORT_ERROR error, int32_t rc);

}  // namespace talvek
