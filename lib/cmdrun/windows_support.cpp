// What the Windows half decides without calling the system, kept portable
// so that the tables of every leg check it.
#include "cmdrun_internal.h"

#include <cerrno>

namespace cmdkit::internal {

// NULL, and the values of the pseudo-handles: INVALID_HANDLE_VALUE (which
// is also the current process: duplicating it gives a handle to ourselves),
// the current thread, and the current process token, thread token and
// effective token (-4 to -6).
bool is_absent_handle_value(uintptr_t value) {
    const auto as_signed = static_cast<intptr_t>(value);
    return value == 0 || (as_signed >= -6 && as_signed <= -1);
}

handle_list build_handle_list(const uintptr_t standard[3], uintptr_t null_device) {
    handle_list list;
    for (size_t i = 0; i < 3; ++i) {
        const uintptr_t handle = is_absent_handle_value(standard[i]) ? null_device : standard[i];
        size_t entry = 0;
        while (entry < list.count && list.handles[entry] != handle)
            ++entry;
        if (entry == list.count)
            list.handles[list.count++] = handle;
        list.slot[i] = entry;
    }
    return list;
}

int errno_of_windows_error(unsigned long error) {
    static const struct {
        unsigned long windows;
        int error;
    } table[] = {
        {2, ENOENT},         // FILE_NOT_FOUND
        {3, ENOENT},         // PATH_NOT_FOUND
        {15, ENOENT},        // INVALID_DRIVE
        {53, ENOENT},        // BAD_NETPATH
        {67, ENOENT},        // BAD_NET_NAME
        {267, ENOTDIR},      // DIRECTORY
        {5, EACCES},         // ACCESS_DENIED
        {32, EACCES},        // SHARING_VIOLATION
        {740, EACCES},       // ELEVATION_REQUIRED
        {193, ENOEXEC},      // BAD_EXE_FORMAT
        {216, ENOEXEC},      // EXE_MACHINE_TYPE_MISMATCH
        {11, ENOEXEC},       // BAD_FORMAT
        {206, ENAMETOOLONG}, // FILENAME_EXCED_RANGE
        {8, ENOMEM},         // NOT_ENOUGH_MEMORY
        {1455, ENOMEM},      // COMMITMENT_LIMIT
        {1450, ENOMEM},      // NO_SYSTEM_RESOURCES
        {4, EMFILE},         // TOO_MANY_OPEN_FILES
    };
    for (const auto &row : table) {
        if (row.windows == error)
            return row.error;
    }
    return EIO;
}

} // namespace cmdkit::internal
