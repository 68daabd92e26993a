// The tool's message table: every text with an identifier, exactly as printed.
#pragma once

namespace talvek {

extern const char Err_InvalArgs[];
extern const char Err_OpenFail[];
extern const char Err_Reading[];
extern const char Err_FileNotKAVRI[];
extern const char Err_LinkErrors[];
extern const char Err_NoMemory[];
extern const char Err_BadEndian[];
extern const char Err_BadModuleTable[];
extern const char Err_LoadModuleNT[];
extern const char Err_NoProcMain[];
extern const char Err_NoProcOrd[];
extern const char Err_NoProcName[];
extern const char Err_GetProcRet[];
extern const char Msg_AttemptNT[];
extern const char Msg_NotLoaded[];
extern const char Msg_ModName[];
extern const char Msg_Referenced[];
extern const char Msg_OK[];
extern const char Msg_DelayFound[];
extern const char Msg_Help[];
extern const char Msg_HelpA[];
extern const char Msg_HelpB[];
extern const char Msg_FilesNeeded[];
extern const char Msg_PressAKey[];

// Result codes of proc_file and the processors, which the named module turns into exit codes.
enum : int {
    RC_OK = 0,
    RC_NOT_PROCESSED = 1,     // command-line error, help, or module skipped
    RC_OPEN_FAILED = 2,
    RC_READ_ERROR = 3,
    RC_BAD_FORMAT = 4,
    RC_NO_MEMORY = 6,
    RC_BAD_PE_HEADER = 8,
    RC_MISSING = 10,          // with -e: the named module is fine, something it needs is not
    RC_LINK_ERRORS = 12,
    RC_BAD_MODULE_TABLE = 55,
};

}  // namespace talvek
