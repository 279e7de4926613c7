#include "Tavrel/Process/Proc/HasProc.h"

#include "Tavrel/Process/Proc/PID.h"

#include <sys/stat.h>

namespace Tavrel::Process::Proc {

bool _has_proc() {
    struct stat st {};
    return ::stat((Foundation::ProcFs::PROC_PATH + "/self").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace Tavrel::Process::Proc
