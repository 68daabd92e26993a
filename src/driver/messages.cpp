// The message texts. Their wording is the system's own and is kept as it stands.
#include "driver/messages.h"

namespace talvek {

const char Err_InvalArgs[] = "Invalid number of arguments\n";
const char Err_OpenFail[] = "Unable to open '%s'.\n";
const char Err_Reading[] = "Error reading .EXE file\n";
const char Err_FileNotKAVRI[] = "File is not a valid KAVRI .EXE or .DLL file\n";
const char Err_LinkErrors[] = "Module '%s' is marked invalid (ie. there were link errors linking it).\n";
const char Err_NoMemory[] = "Insufficient memory.\n";
const char Err_BadEndian[] = "Error bad byte or word ordering.\n";
const char Err_BadModuleTable[] = "Error - module table in header appears to be damaged.\n";
const char Err_LoadModuleNT[] = "Unable to load DLL '%s'.  LoadLibrary returned: %d\n";
const char Err_NoProcMain[] = "Unable to load procedure from %s (file: %s)\n";
const char Err_NoProcOrd[] = "Ordinal entry %u could not be resolved.\n";
const char Err_NoProcName[] = "Entry '%s' could not be resolved.\n";
const char Err_NoProcNameRaw[] = "Entry '%s' [%s] could not be resolved.\n";   // demangled, then raw
const char Err_GetProcRet[] = "DosQueryProcAddr returned: %d\n";
const char Msg_AttemptNT[] = "Loading '%s' ";
const char Msg_NotLoaded[] = "--> NOT loaded!\n";
const char Msg_ModName[] = "--> %s.\n";
const char Msg_Referenced[] = "Referencing the following from DLL '%s':\n";
const char Msg_OK[] = "All DLLs used by '%s' could be loaded.\n";
const char Msg_DelayFound[] = "%d delay-loaded module(s) found.\n";
const char Msg_NamedHeading[] = "\n==> %s <==\n";
const char Msg_ImportsFound[] = "%d imported module(s) found.\n";
const char Msg_UnknownModule[] = "Unknown '%c%c' Module\n";
const char Msg_ShortHeader[] = "Short header\n";
const char Msg_WindowsModule[] = "File is actually a 16-bit Windows EXE\n";
const char Msg_NoSystemFolder[] =
    "Note: no system folder is known for %s (WINEPATH is not set and no Wine DLL folder for %s was found); "
    "name the folder of the Windows system DLLs in WINEPATH, or install Wine.\n";
const char Err_NoMoreFiles[] = "QUERNIX:  Unable to process any more files\n";
const char Err_PeFormat[] = "File error - format is incorrect";
const char Err_NoModuleInFolder[] = "QUERNIX:  No module found in folder '%s'\n";
const char Msg_NoModuleInFolder[] = "QUERNIX:  Warning: no module found in folder '%s'\n";
const char Err_NotLoadable[] = "Not a loadable image (%s)\n";
const char Err_PathTooLong[] = "Cause: %s\n";
const char Msg_Help[] =
    "\nTALVEK checks that all DLLs used by an executable module can be loaded.\n\n"
    "Usage:\n     TALVEK [options] filename.ext\n\n"
    "Options:\n"
    "   -! - recursively check referenced DLLs\n"
    "   -v - list all references to a DLL (NEW!)\n"
    "   -d - also check delay-loaded DLLs (PE modules)\n"
    "   -l - list all DLLs needed (implies -!)\n"
    "   -q - list all DLLs needed -- final list only (implies -l)\n"
    "   -k - wait for a key before termination (useful when stared from a QIVA group)\n";
const char Msg_HelpA[] =
    "   -c - display relocation chain information (ignored for 32 bit modules)\n"
    "   -i - display import information (ignored for 32 bit modules)\n"
    "   -o - display ordinal information (ignored for 32 bit modules)\n"
    "   -r - display relocation information (ignored for 32 bit modules)\n"
    "   -s - display segment table (ignored for 32 bit modules)\n"
    "    ? - display this help\n\n"
    "Example: TALVEK myfile.exe\n";
// The lines --help adds between the two halves above.
const char Msg_HelpB[] =
    "   -e - exit code 10, and a summary, when anything needed is missing\n"
    "   -j - the report as one JSON document\n"
    "   -g - the dependency graph as a Graphviz DOT document (implies -!)\n"
    "   -x - check DLLs that were found but do not load, to show what they lack (implies -!)\n"
    "   -m - check several modules, or folders of them, in one run: TALVEK -m [options] NAME...\n"
    "   --windows=VERSION - judge the DLLs by a clean Windows 7, 8, 8.1, 10 or 11 (implies -!)\n"
    "   --ship - print only the DLLs to ship with the program (--ship=all: also those beside it)\n"
    "   --ship-from=DIR - take the DLLs to ship from DIR first (repeatable)\n"
    "   --deploy=DIR - copy those DLLs into DIR, then check the program there (--force: replace files;\n"
    "                  --ship=all: the whole program)\n"
    "   --host=FILE - check the modules as plugins of the program FILE, loaded into its process\n"
    "   --search=MODE - how that program asks for them: classic, altered or safe\n"
    "   --dll-dir=DIR - with --search=safe: a folder the program adds with AddDllDirectory\n"
    "   --help - display this help;  --version - display the version\n";
const char Msg_FilesNeeded[] = "\nThe following %u DLL%s needed to load %s:\n";
const char Msg_PressAKey[] = "\nPress a key to continue...";
// --windows: the load outcome of a stand-in, and the -e summary's judgement of a DLL or API set
// the target lacks: "not part of WINDOWS", what brings it instead, then what can be done.
const char Msg_PartOfWindows[] = "--> part of %s, not found here.\n";
const char Msg_NotPartOf[] = "not part of %s";
const char Msg_ApiSetNotPartOf[] = "API set not part of %s";
const char Msg_SourceVc[] = " but of the Visual C++ Redistributable";
const char Msg_SourceDirectX[] = " but of the DirectX End-User Runtime";
const char Msg_SourceUcrt[] = " but of the Universal C Runtime update (KB2999226)";
const char Msg_ShipIt[] = ", ship it with the program";
const char Msg_OnlyWineCopy[] = ", only Wine's own copy was found here";
const char Msg_NoFileHere[] = ", no file of it was found here";
// --windows: an entry that only Wine's copy of a DLL of the target lacks, and its heading.
const char Msg_NotVerified[] = "\nNot verified: %u\n";
const char Msg_NotInWinesCopy[] = " is not in Wine's copy (%s), Windows' own copy could not be checked here";
// --ship-from: a file there passed over as an image of another machine.
const char Msg_PassedOver[] = "QUERNIX:  Passed over '%s' (--ship-from): an image for %s, not %s\n";
// --deploy: one line per DLL, and the two failures.
const char Msg_Copied[] = "Copied '%s' to '%s'.\n";
const char Msg_Replaced[] = "Replaced '%s' with '%s'.\n";
const char Msg_Identical[] = "Left '%s' alone: the same as '%s'.\n";
const char Err_NotReplaced[] = "QUERNIX:  '%s' differs from '%s' and is not replaced (--force replaces it)\n";
const char Err_CopyFailed[] = "QUERNIX:  Unable to copy '%s' to '%s' (%s: %s)\n";
const char Err_NeedsWindows[] = "QUERNIX:  Option %s needs --windows=VERSION\n";
const char Err_ForceNeedsDeploy[] = "QUERNIX:  Option --force needs --deploy=DIR\n";
const char Err_NotTogether[] = "QUERNIX:  Options %s and %s cannot be used together\n";
// Long options: one that is none, a value missing, given where none is taken, or not valid.
const char Err_InvalidLongOption[] = "QUERNIX:  Invalid option '%s' specified\n";
const char Err_NeedsValue[] = "QUERNIX:  Option %s needs a value: %s=%s%s\n";
const char Err_TakesNoValue[] = "QUERNIX:  Option %s takes no value (at '%s')\n";
const char Err_BadValue[] = "QUERNIX:  %s: unknown %s '%s' (%s)\n";
const char Err_NotAFolder[] = "QUERNIX:  Option %s names no folder: '%s'\n";
// --host, --search, --dll-dir: the import of the program that loads a module, the errors of the
// options and of the host (each text of Err_Host's %s is one of the five after it), and the -e
// summary's note on a DLL that the safe search leaves out.
const char Msg_LoadingProgram[] = "--> the program that loads this module (name it with --host=FILE to check its entries).\n";
const char Err_Host[] = "QUERNIX:  --host: %s\n";
const char Err_HostNotOpened[] = "'%s' cannot be opened";
const char Err_HostNoModule[] = "'%s' is no PE module";
const char Err_HostIsDll[] = "'%s' is a DLL, not a program";
const char Err_HostMachine[] = "'%s' is a program for %s, '%s' a module for %s";
const char Err_HostNotLoaded[] = "'%s' does not load as a program (%s)";
const char Err_HostImport[] = "'%s', which the host imports, does not load (%s)";
const char Err_DllDirNeedsSafe[] = "QUERNIX:  --dll-dir: needs --search=safe, the search is %s\n";
const char Err_DllDirMissing[] = "QUERNIX:  --dll-dir: no folder '%s'; skipped, as AddDllDirectory refuses it\n";
const char Msg_OutsideSearch[] = ", found only %s, which this host's search does not use (--dll-dir=DIR adds a folder)";

std::string filled(const char* text, std::initializer_list<std::string> args) {
    std::string s = text;
    size_t at = 0;
    for (const std::string& arg : args) {
        at = s.find("%s", at);
        if (at == std::string::npos) break;
        s.replace(at, 2, arg);
        at += arg.size();
    }
    return s;
}

const char* error_text(REPORT_ERROR error) {
    switch (error) {
        case ERR_READING: return Err_Reading;
        case ERR_NOT_KAVRI: return Err_FileNotKAVRI;
        case ERR_LINK_ERRORS: return Err_LinkErrors;
        case ERR_NO_MEMORY: return Err_NoMemory;
        case ERR_BAD_ENDIAN: return Err_BadEndian;
        case ERR_BAD_MODULE_TABLE: return Err_BadModuleTable;
        case ERR_OPEN_FAILED: return Err_OpenFail;
        case ERR_NO_MORE_FILES: return Err_NoMoreFiles;
        case ERR_PE_FORMAT: return Err_PeFormat;
        case ERR_NO_MODULE_IN_FOLDER: return Err_NoModuleInFolder;
        case ERR_NOT_LOADABLE: return Err_NotLoadable;
        case ERR_HOST: return Err_Host;
    }
    return Err_Reading;
}

}  // namespace talvek
