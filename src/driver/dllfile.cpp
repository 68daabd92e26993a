// The search for the DLL file of an imported module name.
#include "driver/dllfile.h"

#include "driver/driver.h"
#include "platform/fs.h"

namespace talvek {

std::string dll_file_for(std::string_view module_name, const char* importer_filespec) {
    std::string file(module_name);
    if (file.find('.') == std::string::npos) file += ".DLL";
    std::string dirs[3] = {dir_part(importer_filespec), CurrentNamedModule ? dir_part(CurrentNamedModule) : "", ""};
    std::string real;
    for (int i = 0; i < 3; i++) {
        if ((i > 0 && dirs[i] == dirs[0]) || (i > 1 && dirs[i] == dirs[1])) continue;
        if (find_dir_entry(dirs[i], file, &real)) return normal_path(dirs[i] + real);
    }
    return file;
}

}  // namespace talvek
