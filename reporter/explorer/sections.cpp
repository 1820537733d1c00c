// ExplorerSections: the ids of a node's children, each child fetched when indexed.
#include "reporter/explorer/explorer.h"

namespace explorer {
namespace {

const char* const sections_doc =
    "ExplorerSections\n"
    "\n"
    "    Acts like the list of children sections, but only retrieves the section when\n"
    "    that index is accessed\n"
    "    ";

object init(handle self, handle parent, handle sections) {
    store(self, n::_parent, parent);
    store(self, n::_sections, sections);
    return py::none();
}

object length(handle self) {
    object sections = read(self, n::_sections);
    return py::take(PyLong_FromSsize_t(py::len(sections)));
}

// Only the id containers are compared; nothing is fetched.
object equals(handle self, handle other) {
    object mine = read(self, n::_sections);
    object theirs = py::isinstance(other, global(n::ExplorerSections)) ? read(other, n::_sections) : py::borrow(other);
    return py::take(PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ));
}

object get_item(handle self, handle index) {
    // The container's own index errors come first, before any server call.
    object child_id = py::getitem(read(self, n::_sections), index);
    object parent = read(self, n::_parent);
    object explorer = global(n::Explorer);
    object client = read(parent, n::_client);
    object tail = py::new_list();
    py::append(tail, child_id);
    // Concatenation, not append: the parent's path stays as it was, and a path that
    // is not a list fails here.
    object path = py::add(read(parent, n::_id_list), tail);
    return make(explorer, client, path);
}

// ---- iteration -------------------------------------------------------------------

// seq[index]. For an instance of the class as made, its own __getitem__ entered as
// the interpreter's slot for it enters it (the same depth, errors and traceback),
// without looking it up again.
object subscript(handle seq, handle index) {
    if (as_made(Py_TYPE(seq.ptr())) != &state->sections || !state->sections_get_item)
        return py::getitem(seq, index);
    PyObject* stack[] = {seq.ptr(), index.ptr()};
    return py::take(PyObject_Vectorcall(state->sections_get_item.ptr(), stack, 2, nullptr));
}

// Behaves as a generator over range(len(seq._sections)) yielding seq[i]: the length
// is taken at the first step, each step indexes through the class's own
// __getitem__, and an error or the end finishes the iteration for good.
struct SectionsIterator {
    PyObject_HEAD
    PyObject* seq;  // null once finished
    Py_ssize_t next;
    Py_ssize_t length;  // -1 until the first step
    bool running;       // a step is under way: a nested one is refused
};

// Marks a step under way for as long as it runs.
class Running {
public:
    explicit Running(SectionsIterator* it) : it_(it) { it_->running = true; }
    ~Running() { it_->running = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    SectionsIterator* it_;
};

void finish(SectionsIterator* it) { Py_CLEAR(it->seq); }

// A StopIteration escaping a step would end the loop silently; a generator turns it
// into RuntimeError instead, with the original as its cause.
void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject *new_type, *new_value, *new_tb;
    PyErr_Fetch(&new_type, &new_value, &new_tb);
    PyErr_NormalizeException(&new_type, &new_value, &new_tb);
    Py_INCREF(value);
    PyException_SetCause(new_value, value);    // steals
    PyException_SetContext(new_value, value);  // steals
    PyErr_Restore(new_type, new_value, new_tb);
}

PyObject* iterator_next(PyObject* self) noexcept {
    auto* it = reinterpret_cast<SectionsIterator*>(self);
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!it->seq)
        return nullptr;
    // Owned here: clearing the iterator (its tp_clear) may drop it while this step runs.
    object seq = py::borrow(it->seq);
    Running running(it);
    try {
        if (it->length < 0)
            it->length = py::len(read(seq, n::_sections));
        if (it->next >= it->length) {
            finish(it);
            return nullptr;
        }
        object index = py::take(PyLong_FromSsize_t(it->next++));
        return subscript(seq, index).release();
    } catch (const py::error_already_set&) {
    } catch (...) {
        py::detail::translate_exception();
    }
    replace_stop_iteration();
    finish(it);
    return nullptr;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<SectionsIterator*>(self)->seq);
    return 0;
}

int iterator_clear(PyObject* self) {
    finish(reinterpret_cast<SectionsIterator*>(self));
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    finish(reinterpret_cast<SectionsIterator*>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "kovra.reporter.explorer.sections_iterator",
    sizeof(SectionsIterator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iterator_slots,
};

object iterate(handle self) {
    auto* type = reinterpret_cast<PyTypeObject*>(state->sections_iterator_type.ptr());
    auto* it = PyObject_GC_New(SectionsIterator, type);
    if (!it)
        py::throw_error();
    it->seq = py::borrow(self).release();
    it->next = 0;
    it->length = -1;
    it->running = false;
    PyObject_GC_Track(it);
    return py::steal(reinterpret_cast<PyObject*>(it));
}

}  // namespace

object define_sections_iterator() { return py::take(PyType_FromSpec(&iterator_spec)); }

object define_explorer_sections(handle base) {
    py::ClassBuilder cls(state->info, "ExplorerSections", py::tuple(base));
    cls.doc(sections_doc)
        .method<init>("__init__", {{"self"}, {"parent"}, {"sections"}})
        .method<length>("__len__", {{"self"}})
        .method<equals>("__eq__", {{"self"}, {"other"}})
        .method<get_item>("__getitem__", {{"self"}, {"index"}})
        .method<iterate>("__iter__", {{"self"}});
    return cls.create();
}

}  // namespace explorer
