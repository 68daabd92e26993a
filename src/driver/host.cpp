// The program that loads the modules named (--host): its check against each module named, and
// the start of the module's process with it.
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/pe_format.h"
#include "common/text.h"
#include "driver/messages.h"
#include "driver/run.h"
#include "platform/file_bytes.h"
#include "platform/windows_dlls.h"

namespace talvek {

namespace {

// What the file header of the PE module in file says: its Machine and whether it is a DLL.
// False when file holds no PE module (no "MZ" header pointing at a whole "PE\0\0" file header).
bool read_pe_kind(BYTE_SPAN file, uint16_t* Machine, bool* fDll) {
    uint16_t mz = 0, characteristics = 0;
    uint32_t ofsPE = 0, signature = 0;
    if (!get_u16(file, 0, &mz) || mz != DOS_SIGNATURE || !get_u32(file, PE_OFS_NEW_HDR, &ofsPE) ||
        !get_u32(file, ofsPE, &signature) || signature != PE_SIGNATURE ||
        !get_u16(file, uint64_t(ofsPE) + PE_OFS_MACHINE, Machine) ||
        !get_u16(file, uint64_t(ofsPE) + PE_OFS_CHARACTERISTICS, &characteristics))
        return false;
    *fDll = (characteristics & PE_FILE_DLL) != 0;
    return true;
}

// Reports what is wrong with the host; the run then ends with code 1.
int32_t host_error(RUN* run, const std::string& what) { return report_error(run, ERR_HOST, RC_NOT_PROCESSED, what); }

}  // namespace

int32_t start_host(RUN* run, const std::string& filespec) {
    const std::string& host = run->opt.host;
    FILE_BYTES hostBytes, moduleBytes;
    uint16_t hostMachine = 0, Machine = 0;
    bool fDll = false;
    if (!map_file(&run->files, host, &hostBytes)) return host_error(run, filled(Err_HostNotOpened, {host}));
    if (!read_pe_kind(hostBytes.span(), &hostMachine, &fDll)) return host_error(run, filled(Err_HostNoModule, {host}));
    if (fDll) return host_error(run, filled(Err_HostIsDll, {host}));
    // A module named that is no PE module is checked as it is: only PE modules are loaded.
    if (map_file(&run->files, filespec, &moduleBytes) && read_pe_kind(moduleBytes.span(), &Machine, &fDll) &&
        Machine != hostMachine)
        return host_error(run, filled(Err_HostMachine, {host, machine_name(hostMachine), filespec, machine_name(Machine)}));
    loader_select_process(run->loader.get(), hostMachine);
    std::vector<LOAD_FAILURE> failed;
    std::string reason;
    if (!loader_start_host(run->loader.get(), host.c_str(), filespec.c_str(), &failed, &reason))
        return host_error(run, filled(Err_HostNotLoaded, {host, reason}));
    // The same host fails the same way for every module named: said once a run, each DLL once.
    std::set<std::string> said;
    for (const LOAD_FAILURE& why : failed)
        if (!run->fHostNoted && !why.chain.empty() && said.insert(ascii_lower(why.chain[0].dll)).second)
            report_error(run, ERR_HOST, RC_OK, filled(Err_HostImport, {why.chain[0].dll, std::to_string(why.error)}));
    run->fHostNoted = true;
    return RC_OK;
}

}  // namespace talvek
