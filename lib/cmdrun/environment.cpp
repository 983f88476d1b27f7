// The commands' environment: the entries checked, and the caller's changes
// applied in order to the given environment or to the caller's own.
#include "cmdrun_internal.h"
#include "platform.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace cmdkit::internal;

namespace {

char *copy_of_name(const char *entry) {
    const size_t length = environment_name_length(entry);
    auto *name = static_cast<char *>(checked_malloc(length + 1));
    std::memcpy(name, entry, length);
    name[length] = '\0';
    return name;
}

int compare_entry_names(const char *a, const char *b) {
    return os_compare_names(a, environment_name_length(a), b, environment_name_length(b));
}

// Two entries of one name would leave the choice to whoever reads them
// (a POSIX getenv takes the first, Windows refuses the block), so the
// request says which one it means or is refused.
bool refuse_duplicate_names(const char *const *environment, start_failure &failure) {
    size_t count = 0;
    while (environment[count] != nullptr)
        ++count;
    auto **sorted = static_cast<const char **>(checked_malloc(count * sizeof(char *)));
    std::memcpy(sorted, environment, count * sizeof(char *));
    std::sort(sorted, sorted + count,
              [](const char *a, const char *b) { return compare_entry_names(a, b) < 0; });
    size_t twin = 1;
    while (twin < count && compare_entry_names(sorted[twin - 1], sorted[twin]) != 0)
        ++twin;
    if (twin < count) {
        char *first = copy_of_name(sorted[twin - 1]);
        char *second = copy_of_name(sorted[twin]);
        const bool same = std::strcmp(first, second) == 0;
        const char *pieces[] = {"Refused: two environment entries named ", first,
                                same ? "" : " and ", same ? "" : second,
                                same ? "." : ", one name on this system."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 5);
        std::free(first);
        std::free(second);
    }
    std::free(sorted);
    return twin >= count;
}

// The length of a change's name: up to the first `=` after its first
// character, or the whole of a removal.
size_t change_name_length(const char *change) {
    const size_t length = environment_name_length(change);
    return length != 0 ? length : std::strlen(change);
}

// Applies one change to the `count` entries of `entries`, which has room
// for one more: every entry of its name goes, and a set takes the place of
// the first of them, or the end.
size_t apply_change(const char **entries, size_t count, const char *change) {
    const size_t name_length = change_name_length(change);
    size_t kept = 0;
    size_t first = count;
    for (size_t i = 0; i < count; ++i) {
        if (os_compare_names(entries[i], environment_name_length(entries[i]), change,
                             name_length) == 0) {
            first = std::min(first, kept);
            continue;
        }
        entries[kept++] = entries[i];
    }
    if (environment_name_length(change) == 0)
        return kept;
    first = std::min(first, kept);
    std::memmove(entries + first + 1, entries + first, (kept - first) * sizeof(char *));
    entries[first] = change;
    return kept + 1;
}

size_t count_of(const char *const *list) {
    size_t count = 0;
    while (list[count] != nullptr)
        ++count;
    return count;
}

} // namespace

namespace cmdkit::internal {

bool check_environment(const char *const *environment, start_failure &failure) {
    if (environment == nullptr)
        return true;
    for (const char *const *entry = environment; *entry != nullptr; ++entry) {
        if (environment_name_length(*entry) == 0)
            return refuse_request(failure, "an environment entry without a name or `=`");
    }
    return os_check_environment(environment, failure) &&
           refuse_duplicate_names(environment, failure);
}

bool check_changes(const char *const *changes, start_failure &failure) {
    if (changes == nullptr)
        return true;
    for (const char *const *change = changes; *change != nullptr; ++change) {
        if (**change == '\0')
            return refuse_request(failure, "an environment change without a name");
    }
    return os_check_environment(changes, failure);
}

// The environment the commands get: the given one, or the caller's, with
// the changes applied in order.
void merge_environment(const cmdkit_start_options &options, start_plan &plan) {
    plan.environment = options.environment;
    if (options.environment_changes == nullptr)
        return;
    bool owned = false;
    const char *const *base = options.environment;
    if (base == nullptr) {
        char **caller = os_caller_environment(owned);
        base = caller;
        plan.owned = owned ? caller : nullptr;
    }
    const size_t changes = count_of(options.environment_changes);
    size_t count = count_of(base);
    plan.merged =
        static_cast<const char **>(checked_malloc((count + changes + 1) * sizeof(char *)));
    std::memcpy(plan.merged, base, count * sizeof(char *));
    for (size_t i = 0; i < changes; ++i)
        count = apply_change(plan.merged, count, options.environment_changes[i]);
    plan.merged[count] = nullptr;
    plan.environment = plan.merged;
}

const char *value_in(const char *const *environment, const char *name) {
    for (const char *const *entry = environment; *entry != nullptr; ++entry) {
        const size_t length = environment_name_length(*entry);
        if (os_compare_names(*entry, length, name, std::strlen(name)) == 0)
            return *entry + length + 1;
    }
    return nullptr;
}

bool holds_cd_entry(const char *const *environment) {
    if (environment != nullptr) {
        for (const char *const *entry = environment; *entry != nullptr; ++entry) {
            const size_t length = environment_name_length(*entry);
            if (length == 2 && ascii_lower((*entry)[0]) == 'c' && ascii_lower((*entry)[1]) == 'd')
                return true;
        }
        return false;
    }
    char *value = platform_getenv("CD");
    std::free(value);
    return value != nullptr;
}

size_t environment_name_length(const char *entry) {
    if (entry[0] == '\0')
        return 0;
    const char *equals = std::strchr(entry + 1, '=');
    return equals != nullptr ? static_cast<size_t>(equals - entry) : 0;
}

} // namespace cmdkit::internal
