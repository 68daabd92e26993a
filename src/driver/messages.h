// The tool's message table: every text with an identifier, exactly as printed.
#pragma once

#include <initializer_list>
#include <string>

#include "common/report.h"

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
extern const char Err_NoProcNameRaw[];
extern const char Err_GetProcRet[];
extern const char Msg_AttemptNT[];
extern const char Msg_NotLoaded[];
extern const char Msg_ModName[];
extern const char Msg_Referenced[];
extern const char Msg_OK[];
extern const char Msg_DelayFound[];
extern const char Msg_NamedHeading[];
extern const char Msg_ImportsFound[];
extern const char Msg_UnknownModule[];
extern const char Msg_ShortHeader[];
extern const char Msg_WindowsModule[];
extern const char Msg_NoSystemFolder[];
extern const char Err_NoMoreFiles[];
extern const char Err_PeFormat[];
extern const char Err_NoModuleInFolder[];
extern const char Msg_NoModuleInFolder[];
extern const char Err_NotLoadable[];
extern const char Err_PathTooLong[];
extern const char Msg_Help[];
extern const char Msg_HelpA[];
extern const char Msg_HelpB[];
extern const char Msg_FilesNeeded[];
extern const char Msg_PressAKey[];
extern const char Msg_PartOfWindows[];
extern const char Msg_NotPartOf[];
extern const char Msg_ApiSetNotPartOf[];
extern const char Msg_SourceVc[];
extern const char Msg_SourceDirectX[];
extern const char Msg_SourceUcrt[];
extern const char Msg_ShipIt[];
extern const char Msg_OnlyWineCopy[];
extern const char Msg_NoFileHere[];
extern const char Msg_NotVerified[];
extern const char Msg_NotInWinesCopy[];
extern const char Msg_PassedOver[];
extern const char Msg_Copied[];
extern const char Msg_Replaced[];
extern const char Msg_Identical[];
extern const char Err_NotReplaced[];
extern const char Err_CopyFailed[];
extern const char Err_NeedsWindows[];
extern const char Err_ForceNeedsDeploy[];
extern const char Err_NotTogether[];
extern const char Err_InvalidLongOption[];
extern const char Err_NeedsValue[];
extern const char Err_TakesNoValue[];
extern const char Err_BadValue[];
extern const char Err_NotAFolder[];
extern const char Msg_LoadingProgram[];
extern const char Err_Host[];
extern const char Err_HostNotOpened[];
extern const char Err_HostNoModule[];
extern const char Err_HostIsDll[];
extern const char Err_HostMachine[];
extern const char Err_HostNotLoaded[];
extern const char Err_HostImport[];
extern const char Err_DllDirNeedsSafe[];
extern const char Err_DllDirMissing[];
extern const char Msg_OutsideSearch[];

// The message of a failure (a printf format with at most one %s, the file it names).
const char* error_text(REPORT_ERROR error);

// The message text with each "%s" replaced by the next of args, in order.
std::string filled(const char* text, std::initializer_list<std::string> args);

}  // namespace talvek
