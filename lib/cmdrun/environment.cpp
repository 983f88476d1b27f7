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

// The length of a change's name: up to the first `=` after its first
// character, or the whole of a removal.
size_t change_name_length(const char *change) {
    const size_t length = environment_name_length(change);
    return length != 0 ? length : std::strlen(change);
}

bool is_removal(const char *change) {
    return environment_name_length(change) == 0;
}

size_t count_of(const char *const *list) {
    size_t count = 0;
    while (list[count] != nullptr)
        ++count;
    return count;
}

// Texts in the order of their names as the system tells names apart, each
// name converted once; texts of one name keep the order they were given in.
class name_order {
  public:
    name_order(const char *const *texts, const size_t *lengths, size_t count)
        : count_(count), keys_(static_cast<name_key *>(checked_malloc(count * sizeof(name_key)))),
          order_(static_cast<size_t *>(checked_malloc(count * sizeof(size_t)))),
          storage_(os_name_keys(texts, lengths, count, keys_)) {
        for (size_t i = 0; i < count; ++i)
            order_[i] = i;
        // Ties go by index: the order of a stable sort, which would need
        // the C++ runtime's heap (a C program links this library alone).
        const name_key *keys = keys_;
        std::sort(order_, order_ + count, [keys](size_t a, size_t b) {
            const int order = os_compare_keys(keys[a], keys[b]);
            return order != 0 ? order < 0 : a < b;
        });
    }
    ~name_order() {
        std::free(keys_);
        std::free(order_);
        std::free(storage_);
    }
    name_order(const name_order &) = delete;
    name_order &operator=(const name_order &) = delete;

    // The text at place `i` of the order.
    size_t at(size_t i) const { return order_[i]; }
    // The end of the run of one name that starts at place `i`.
    size_t run_end(size_t i) const {
        size_t end = i + 1;
        while (end < count_ && os_compare_keys(keys_[order_[i]], keys_[order_[end]]) == 0)
            ++end;
        return end;
    }

  private:
    size_t count_;
    name_key *keys_;
    size_t *order_;
    void *storage_;
};

// Two entries of one name would leave the choice to whoever reads them
// (a POSIX getenv takes the first, Windows refuses the block), so the
// request says which one it means or is refused.
bool refuse_duplicate_names(const char *const *environment, start_failure &failure) {
    const size_t count = count_of(environment);
    auto *lengths = static_cast<size_t *>(checked_malloc(count * sizeof(size_t)));
    for (size_t i = 0; i < count; ++i)
        lengths[i] = environment_name_length(environment[i]);
    const name_order order(environment, lengths, count);
    std::free(lengths);
    for (size_t place = 0; place < count; place = order.run_end(place)) {
        if (order.run_end(place) == place + 1)
            continue;
        char *first = copy_of_name(environment[order.at(place)]);
        char *second = copy_of_name(environment[order.at(place + 1)]);
        const bool same = std::strcmp(first, second) == 0;
        const char *pieces[] = {"Refused: two environment entries named ", first,
                                same ? "" : " and ", same ? "" : second,
                                same ? "." : ", one name on this system."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 5);
        std::free(first);
        std::free(second);
        return false;
    }
    return true;
}

// What the changes made of the environment, name by name: each entry of
// the base kept, replaced or dropped, and the names the changes add at the
// end, in the order they were first added.
struct merge_outcome {
    const char **base = nullptr; // by base index: the text that stands there, or null
    struct added {
        size_t when; // the index of the change that put it at the end
        const char *text;
    } *appended = nullptr;
    size_t appended_count = 0;
};

// Settles one name, whose base entries and changes (in their order) are
// `items`, as applying its changes one by one would: a set replaces every
// entry of its name at the place of the first, or goes to the end when
// there is none; a removal removes them all.
void settle_name(const size_t *items, size_t count, size_t base_count, const char *const *changes,
                 merge_outcome &outcome) {
    size_t first_change = 0;
    while (first_change < count && items[first_change] < base_count)
        ++first_change;
    if (first_change == count)
        return; // no change names it: its entries pass as they are
    for (size_t i = 0; i < first_change; ++i)
        outcome.base[items[i]] = nullptr;
    const char *last = changes[items[count - 1] - base_count];
    if (is_removal(last))
        return;
    // The set that added it at the end is the first after the last removal.
    size_t added_by = first_change;
    for (size_t i = first_change; i < count; ++i) {
        if (is_removal(changes[items[i] - base_count]))
            added_by = i + 1;
    }
    if (added_by == first_change && first_change > 0)
        outcome.base[items[0]] = last;
    else
        outcome.appended[outcome.appended_count++] = {items[added_by] - base_count, last};
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
// the changes applied in order.  Sorted by name, so that many changes over
// many names cost n log n, never the square.
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
    const char *const *changes = options.environment_changes;
    const size_t base_count = count_of(base);
    const size_t total = base_count + count_of(changes);
    auto **texts = static_cast<const char **>(checked_malloc(total * sizeof(char *)));
    auto *lengths = static_cast<size_t *>(checked_malloc(total * sizeof(size_t)));
    for (size_t i = 0; i < total; ++i) {
        texts[i] = i < base_count ? base[i] : changes[i - base_count];
        lengths[i] =
            i < base_count ? environment_name_length(texts[i]) : change_name_length(texts[i]);
    }
    merge_outcome outcome;
    outcome.base = static_cast<const char **>(checked_malloc((base_count + 1) * sizeof(char *)));
    std::memcpy(outcome.base, base, base_count * sizeof(char *));
    outcome.appended = static_cast<merge_outcome::added *>(
        checked_malloc((total - base_count + 1) * sizeof(merge_outcome::added)));
    {
        const name_order order(texts, lengths, total);
        auto *items = static_cast<size_t *>(checked_malloc(total * sizeof(size_t)));
        for (size_t place = 0, end = 0; place < total; place = end) {
            end = order.run_end(place);
            for (size_t i = place; i < end; ++i)
                items[i - place] = order.at(i);
            settle_name(items, end - place, base_count, changes, outcome);
        }
        std::free(items);
    }
    std::sort(outcome.appended, outcome.appended + outcome.appended_count,
              [](const merge_outcome::added &a, const merge_outcome::added &b) {
                  return a.when < b.when;
              });
    plan.merged = static_cast<const char **>(checked_malloc((total + 1) * sizeof(char *)));
    size_t count = 0;
    for (size_t i = 0; i < base_count; ++i) {
        if (outcome.base[i] != nullptr)
            plan.merged[count++] = outcome.base[i];
    }
    for (size_t i = 0; i < outcome.appended_count; ++i)
        plan.merged[count++] = outcome.appended[i].text;
    plan.merged[count] = nullptr;
    plan.environment = plan.merged;
    std::free(outcome.base);
    std::free(outcome.appended);
    std::free(texts);
    std::free(lengths);
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
