// Values across the boundary, and writing a file as json.dump does.
#include "varkit/host.hpp"
#include "varkit/pm/files.hpp"
#include "varkit/pm/json.hpp"

#include <string>
#include <unordered_set>

namespace varkit::pm::json {

namespace {

struct RecursionGuard {
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where) != 0) {
            throw py::error_already_set();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

std::string type_name(py::handle object) {
    return host::utf8(py::type::handle_of(object).attr("__name__"));
}

std::string int_text(py::handle object) {
    py::object repr = py::reinterpret_steal<py::object>(PyLong_Type.tp_repr(object.ptr()));
    if (!repr) {
        throw py::error_already_set();
    }
    return host::utf8(repr);
}

Value int_value(py::handle object) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow != 0) {
        return Value(BigInt{int_text(object)});
    }
    return Value(static_cast<std::int64_t>(value));
}

// Walks a Python value the way json's encoder does.
class Converter {
public:
    Value convert(py::handle object) {
        PyObject *o = object.ptr();
        if (PyUnicode_Check(o)) {
            return Value(host::utf8(object));
        }
        if (o == Py_None) {
            return Value();
        }
        if (o == Py_True || o == Py_False) {
            return Value(o == Py_True);
        }
        if (PyLong_Check(o)) {
            return int_value(object);
        }
        if (PyFloat_Check(o)) {
            return Value(PyFloat_AS_DOUBLE(o));
        }
        if (PyList_Check(o) || PyTuple_Check(o)) {
            Enter enter(*this, o);
            Array elements;
            const bool list = PyList_Check(o);
            // Sizes are read on every step: a list may change while Python code runs.
            for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o)); ++i) {
                py::object element = py::reinterpret_borrow<py::object>(
                    list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
                elements.push_back(convert(element));
            }
            return Value(std::move(elements));
        }
        if (PyDict_Check(o)) {
            Enter enter(*this, o);
            Object members;
            if (PyDict_CheckExact(o)) {
                members.reserve(static_cast<std::size_t>(PyDict_Size(o)));
                PyObject *key = nullptr;
                PyObject *value = nullptr;
                Py_ssize_t position = 0;
                while (PyDict_Next(o, &position, &key, &value)) {
                    // Borrowed: hold both, converting may run Python code.
                    py::object held_key = py::reinterpret_borrow<py::object>(key);
                    py::object held_value = py::reinterpret_borrow<py::object>(value);
                    std::string name = key_text(held_key);
                    members.emplace_back(std::move(name), convert(held_value));
                }
            } else {
                for (py::handle item : object.attr("items")()) {
                    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
                    std::string name = key_text(pair[0]);
                    members.emplace_back(std::move(name), convert(pair[1]));
                }
            }
            return Value(std::move(members));
        }
        host::raise(PyExc_TypeError,
                    "Object of type " + type_name(object) + " is not JSON serializable");
    }

private:
    // Marks a container as being written; json refuses to write one inside itself.
    class Enter {
    public:
        Enter(Converter &converter, PyObject *container)
            : guard_(" while encoding a JSON object"), open_(converter.open_),
              container_(container) {
            if (!open_.insert(container).second) {
                host::raise(PyExc_ValueError, "Circular reference detected");
            }
        }
        ~Enter() { open_.erase(container_); }
        Enter(const Enter &) = delete;
        Enter &operator=(const Enter &) = delete;

    private:
        RecursionGuard guard_;
        std::unordered_set<PyObject *> &open_;
        PyObject *container_;
    };

    static std::string key_text(py::handle key) {
        PyObject *k = key.ptr();
        if (PyUnicode_Check(k)) {
            return host::utf8(key);
        }
        if (PyFloat_Check(k)) {
            std::string text;
            append_float(PyFloat_AS_DOUBLE(k), text);
            return text;
        }
        if (k == Py_True) {
            return "true";
        }
        if (k == Py_False) {
            return "false";
        }
        if (k == Py_None) {
            return "null";
        }
        if (PyLong_Check(k)) {
            return int_text(key);
        }
        host::raise(PyExc_TypeError,
                    "keys must be str, int, float, bool or None, not " + type_name(key));
    }

    std::unordered_set<PyObject *> open_;
};

}  // namespace

py::object to_python(const Value &value) {
    switch (value.kind()) {
    case Value::Kind::Null: return py::none();
    case Value::Kind::Bool: return py::bool_(value.as_bool());
    case Value::Kind::Int:
        return py::reinterpret_steal<py::object>(PyLong_FromLongLong(value.as_int()));
    case Value::Kind::BigInt: {
        PyObject *number = PyLong_FromString(value.as_big_int().digits.c_str(), nullptr, 10);
        if (number == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::object>(number);
    }
    case Value::Kind::Float: return py::float_(value.as_float());
    case Value::Kind::String: return host::to_str(value.as_string());
    case Value::Kind::Array: {
        const Array &elements = value.as_array();
        py::list list(elements.size());
        for (std::size_t i = 0; i < elements.size(); ++i) {
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                            to_python(elements[i]).release().ptr());
        }
        return std::move(list);
    }
    case Value::Kind::Object: {
        py::dict dict;
        for (const Member &member : value.as_object()) {
            py::object key = host::to_str(member.first);
            py::object item = to_python(member.second);
            if (PyDict_SetItem(dict.ptr(), key.ptr(), item.ptr()) != 0) {
                throw py::error_already_set();
            }
        }
        return std::move(dict);
    }
    }
    return py::none();
}

Value from_python(py::handle object) { return Converter().convert(object); }

files::Written write(py::handle path, const Value &value) {
    files::Writer file(path, false);
    dump_chunks(value, [&file](std::string_view chunk) { file.write(chunk); });
    file.close();
    return file.written();
}

void write_python(py::handle path, py::handle value) {
    files::Writer file(path, false);
    Value converted = from_python(value);
    std::string text;
    dump(converted, text);
    file.write(text);
    file.close();
}

}  // namespace varkit::pm::json
