#include "native/traceback.h"

#include <frameobject.h>

namespace py {

void add_traceback(const char* funcname, const char* filename, PyObject* globals) {
    // Building the frame must not disturb the pending exception: a failure here
    // drops the entry, never the error being reported.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    object code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, 1)));
    object frame;
    if (code)
        frame = steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), globals, nullptr)));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
}

}  // namespace py
