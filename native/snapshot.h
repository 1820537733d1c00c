// A snapshot of the pieces a fast road relies on, taken at import: attributes,
// items, functions, classes, module globals, builtins and tables. One check,
// intact(), tells whether every piece is still the one found then; a road is
// taken only while it holds, so a replacement anywhere sends the work down the
// generic road before anything is written.
#pragma once

#include "native/api.h"

#include <cstdint>
#include <vector>

namespace py {

// A stamp of a dict's contents: while it stands where it stood, the dict has not
// changed (nor been freed). Up to 3.11 the dict's version; from 3.12 the count of
// changes to every dict watched for it, so only for a dict watch_changes took.
bool watch_changes(handle dict);  // false where no watcher can be had
uint64_t change_stamp(handle dict);

class Snapshot {
public:
    // owner.name as it is now; the same object must stay there.
    object attribute(handle owner, handle name);
    object attribute(handle owner, const char* name) { return attribute(owner, text(name)); }

    // mapping[key] of a dict as it is now (empty when absent); the same object,
    // or the same absence, must stay there.
    object item(handle dict, handle key);

    // A Python function: the same code, defaults and keyword defaults. Anything
    // else (a builtin, a method descriptor) is immutable and needs nothing.
    void function(handle function);

    // A Python function recorded as above, when its code is `expected` in all but
    // names and positions (the same instructions, constants, names read, locals
    // and flags) and it has no defaults and no closure: false, nothing recorded,
    // otherwise. What the code does is then known without running it.
    bool function_as_built(handle function, handle expected);

    // A class: the same metaclass (recorded as a class too) and MRO, and its
    // namespace the same names bound to the same objects, none added; its
    // descriptors as below; its functions (and those its classmethods,
    // staticmethods and properties' getters wrap) as above. Immutable (static)
    // types need nothing.
    // With `code` false, only the namespace, MRO and metaclass: a caller that
    // relies on a few of its functions records those (and their descriptors)
    // itself.
    void class_(handle cls, bool code = true);

    // What a property (its getter: the roads only read), classmethod or
    // staticmethod wraps: the same object. Its __init__ rebinds it in place,
    // which no dict sees.
    void descriptor(handle value);

    // A module's globals: the same names bound to the same objects, none added (a
    // new name may shadow a builtin) but a package's submodules as they are
    // imported; the functions and classes defined in the module as above.
    void module(handle module, bool code = true);

    // A dict or list of a class or module that its code reads and may be changed in
    // place: the same entries, each the very object it was, nested dicts and lists
    // compared the same way.
    void table(handle table);

    // The builtins that the recorded functions' code may read: each name their
    // code refers to that their globals lack, bound in `builtins` to the same
    // object as now, or still absent.
    void builtins_read(handle builtins);

    // Every piece is still the one recorded. Never raises: a failed lookup counts
    // as a change. Cheap while no recorded dict has changed since it last held
    // (dict versions up to 3.11, watchers from 3.12), so it may be asked often.
    bool intact() const;

    bool empty() const {
        return bindings_.empty() && functions_.empty() && classes_.empty() && tables_.empty() && held_.empty();
    }

private:
    // owner.name (attribute) or dict[name] (item): `value` empty for an absence;
    // the owner dict's version when last found intact (where dicts keep versions).
    struct Binding {
        object owner, name, value;
        bool item;
        mutable uint64_t version;
    };
    struct Function {
        object function, code, defaults, kwdefaults, kwdefaults_copy;
    };
    // A namespace (class or module dict) and a copy: same bindings, none added but
    // the submodules of `package` (a package's name, or empty).
    struct Namespace {
        object dict, copy, package;
        mutable uint64_t version;
    };
    struct Class {
        object cls, mro, metaclass;
    };
    // The object a descriptor holds at `offset` (a property's fget, a
    // classmethod's or staticmethod's function), recorded as `value`.
    struct Held {
        object descriptor;
        Py_ssize_t offset;
        object value;
    };
    struct Table {
        object table, copy;
    };

    bool recorded_function(handle function) const;
    void namespace_of(handle dict, handle package = handle());
    void watch(handle dict);
    static object deep_copy(handle table);

    std::vector<Binding> bindings_;
    std::vector<Function> functions_;
    std::vector<Namespace> namespaces_;
    std::vector<Class> classes_;
    std::vector<Held> held_;
    bool unknown_layout_ = false;  // a descriptor's wrapped object could not be located
    std::vector<Table> tables_;
    // From 3.12: every recorded dict is watched, and the count of changes to
    // watched dicts when the bindings and namespaces last held.
    bool watched_ = compat::has_dict_watchers;
    size_t attributes_ = 0;  // bindings read as attributes, not dict items
    mutable uint64_t held_at_ = UINT64_MAX;
};

}  // namespace py
