// Module start-up: one initialisation per process, run-time imports, globals.
#pragma once

#include "native/classes.h"

namespace py {

// ---- start-up guards -----------------------------------------------------------

namespace detail {

// Refuses a second interpreter: the modules keep process-wide state.
void check_single_interpreter();

// A module's definition and, beside it, the globals of the module once its
// start-up has finished: what its native functions check before they run.
struct Definition {
    PyModuleDef def;  // first: PyModule_GetDef hands out its address
    PyObject* ready_globals;
};

// The module-level failure of a second initialisation on another module object.
[[noreturn]] void raise_reinitialised(const char* short_name);

}  // namespace detail

// Multi-phase initialisation with the guards every module shares. `M` supplies
// `static constexpr const char* short_name`, `static void initialise(handle module)`
// (throws on failure) and `static void reset()` (drops what a failed initialise made).
template <typename M>
class ModuleDefinition {
public:
    static PyObject* init() { return PyModuleDef_Init(&definition_.def); }

private:
    static PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
        try {
            detail::check_single_interpreter();
            // A repeated create hands out the initialised module itself.
            if (module_)
                return borrow(module_).release();
            static PyObject* name_attr;
            object name = getattr(spec, interned(name_attr, "name"));
            return take(PyModule_NewObject(name.ptr())).release();
        } catch (const error_already_set&) {
        } catch (...) {
            detail::translate_exception();
        }
        return nullptr;
    }

    static int exec(PyObject* module) noexcept {
        if (module_ == module)
            return 0;
        try {
            if (module_)
                detail::raise_reinitialised(M::short_name);
            module_ = module;
            Py_INCREF(module_);
            M::initialise(module);
            definition_.ready_globals = PyModule_GetDict(module);
            return 0;
        } catch (const error_already_set&) {
        } catch (...) {
            detail::translate_exception();
        }
        // No half-initialised module stays behind: a later import starts afresh.
        if (module_ == module) {
            M::reset();
            module_ = nullptr;
            Py_DECREF(module);
        }
        return -1;
    }

    static inline PyObject* module_ = nullptr;  // the initialised module, kept for the process
    static inline PyModuleDef_Slot slots_[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static inline detail::Definition definition_ = {
        {PyModuleDef_HEAD_INIT, M::short_name, nullptr, 0, nullptr, slots_, nullptr, nullptr, nullptr},
        nullptr,
    };
};

// Where the native functions of `module` live: its name, the file name shown in
// traceback entries, its globals and builtins; `module` is one being initialised
// by a ModuleDefinition.
ModuleInfo module_info(handle module, const char* name, const char* filename);

// A module's state at start-up: allocated at the first one and never freed
// (native functions keep pointers into it, and nothing may be released after the
// interpreter has gone at exit), with its ModuleInfo filled in. A failed start-up
// resets it whole (`*state = State()`), which drops whatever the start-up made.
template <typename State>
State& start_state(State*& state, handle module, const char* name, const char* filename) {
    if (!state)
        state = new State;
    state->info = module_info(module, name, filename);
    return *state;
}

// Binds `value` as module attribute `name`, as an import or assignment statement does.
inline void bind(handle module, handle name, handle value) { setattr(module, name, value); }

// ---- interned names ---------------------------------------------------------------

// A module keeps the names it uses in one X-macro table, LIST(X), an entry a
// name: X(name) for the text the C++ identifier stands for (a trailing underscore
// that keeps a C++ keyword apart is not part of it: "default_" is "default",
// "continue__" is "continue_"; names starting with an underscore are taken as they
// are), X(name, "text") for any other text. Inside a namespace `n`:
// LIST(KOVRA_NAME_DECLARE) in its header, KOVRA_NAME_TABLE(LIST) in one source.
// The module state owns them as `py::Names(n::table)`, the last of its members,
// so a reset drops them after everything else it held.
struct NameEntry {
    PyObject** slot;
    const char* identifier;
    const char* text;  // used where `has_text`
    bool has_text;
};

#define KOVRA_NAME_DECLARE(name, ...) extern PyObject* name;
#define KOVRA_NAME_DEFINE(name, ...) PyObject* name;
#define KOVRA_NAME_ENTRY(name, ...) {&name, #name, "" __VA_ARGS__, sizeof(#__VA_ARGS__) > 1},
// The slots, and `table`, what py::Names makes them from.
#define KOVRA_NAME_TABLE(LIST) LIST(KOVRA_NAME_DEFINE) const ::py::NameEntry table[] = {LIST(KOVRA_NAME_ENTRY)};

// Owns the interned names of one table: made all at once, each slot holding its
// name; dropped (the slots emptied) when the owner resets. Moves only.
class Names {
public:
    Names() = default;
    template <size_t N>
    explicit Names(const NameEntry (&table)[N]) : Names(table, N) {}
    Names(const NameEntry* table, size_t count);
    Names(Names&& other) noexcept : table_(other.table_), count_(other.count_) { other.count_ = 0; }
    Names& operator=(Names&& other) noexcept;
    Names(const Names&) = delete;
    Names& operator=(const Names&) = delete;
    ~Names() { drop(); }

private:
    void drop() noexcept;

    const NameEntry* table_ = nullptr;
    size_t count_ = 0;
};

// ---- run-time imports and globals -----------------------------------------------

// `import name`: the top-level package, as the import statement binds it.
object import(const char* name, handle globals);

// `import name` bound under another name: the named module itself, submodules included.
object import_module(const char* name, handle globals);

// `from package import name`; a missing name raises ImportError "cannot import name ...".
object import_from(const char* package, const char* name, handle globals);

// A builtin by name; NameError when it is missing.
object builtin(handle name);

// A module global looked up at call time, falling back to the module's own
// builtins, as compiled module code resolves a global name.
object global(const ModuleInfo& module, handle name);
// Its second half: the name looked up in the builtins alone.
object builtin_global(const ModuleInfo& module, handle name);

}  // namespace py
