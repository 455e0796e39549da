/* handler/py_records.cpp: XANAction packing and record decoding between Python values and the codec */
#include <limits>

#include "py_client.hpp"

namespace kinra::py {

namespace {

[[noreturn]] void raise(PyObject* kind, const std::string& message) {
    PyErr_SetString(kind, message.c_str());
    throw nb::python_error();
}

/// int(value), then checked against the signed 32-bit range of the record.
std::int32_t to_int32(PyObject* value, const char* field) {
    nb::object converted;
    if (!PyLong_Check(value)) {
        converted = nb::steal(PyNumber_Long(value));
        if (!converted.is_valid()) throw nb::python_error();
        value = converted.ptr();
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0 || number < std::numeric_limits<std::int32_t>::min() ||
        number > std::numeric_limits<std::int32_t>::max()) {
        raise(PyExc_ValueError, std::string("XANAction.get_transmit_data(): ") + field +
                                    " lies outside the signed 32-bit range");
    }
    return static_cast<std::int32_t>(number);
}

std::string_view utf8_of(PyObject* value, const char* field) {
    if (!PyUnicode_Check(value)) {
        raise(PyExc_TypeError, std::string("XANAction.get_transmit_data(): ") + field + " must be str, not " +
                                   Py_TYPE(value)->tp_name);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) throw nb::python_error();
    return {text, static_cast<std::size_t>(size)};
}

/// The items of a list or other sequence, without copying a list.
nb::object fast_sequence(nb::handle value, const char* field) {
    nb::object seq = nb::steal(PySequence_Fast(value.ptr(), ""));
    if (!seq.is_valid()) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string("XANAction.get_transmit_data(): ") + field + " must be a list, not " +
                                   Py_TYPE(value.ptr())->tp_name);
    }
    return seq;
}

}  // namespace

Enumerations& enumerations() {
    static Enumerations classes;
    return classes;
}

nb::object enum_value(nb::handle enum_class, nb::handle name) { return enum_class[name]; }

nb::bytes pack_action(const XANAction& action) {
    static const char* const argument_names[] = {"argument 1", "argument 2", "argument 3",
                                                 "argument 4", "argument 5", "argument 6"};
    ActionFields fields;
    fields.head[0] = to_int32(action.module_id.ptr(), "module_id");
    fields.head[1] = to_int32(action.func_id.ptr(), "func_id");
    nb::object args = fast_sequence(action.arg_list, "arg_list");
    const Py_ssize_t arg_count = PySequence_Fast_GET_SIZE(args.ptr());
    if (arg_count > static_cast<Py_ssize_t>(action_argument_count)) {
        raise(PyExc_ValueError, "XANAction.get_transmit_data(): at most 6 arguments fit the record, got " +
                                    std::to_string(arg_count));
    }
    PyObject** arg_items = PySequence_Fast_ITEMS(args.ptr());
    for (std::size_t k = 0; k < action_argument_count; ++k) {
        fields.head[2 + k] = static_cast<Py_ssize_t>(k) < arg_count ? to_int32(arg_items[k], argument_names[k]) : -1;
    }
    fields.cmd_id = utf8_of(action.cmd_id.ptr(), "cmd_id");
    nb::object deps = fast_sequence(action.dep_list, "dep_list");
    const Py_ssize_t dep_count = PySequence_Fast_GET_SIZE(deps.ptr());
    PyObject** dep_items = PySequence_Fast_ITEMS(deps.ptr());
    for (std::size_t k = 0; k < action_dependency_count; ++k) {
        fields.dependencies[k] = static_cast<Py_ssize_t>(k) < dep_count ? utf8_of(dep_items[k], "dep_list entry") : "";
    }
    PyObject* record = PyBytes_FromStringAndSize(nullptr, action_record_size);
    if (record == nullptr) throw nb::python_error();
    kinra::pack_action(fields, PyBytes_AS_STRING(record));
    return nb::steal<nb::bytes>(record);
}

nb::list unpack_record(const Layout& layout, const char* data, std::size_t size) {
    std::vector<FieldValue> fields;
    try {
        fields = decode(layout, std::string_view(data, size));
    } catch (const DecodeError& e) {
        if (e.kind == DecodeError::Kind::length) raise(PyExc_ValueError, std::string("unpack_struct_helper(): ") + e.what());
        const std::size_t start = e.field_offset;
        std::size_t width = 0;
        for (const Layout::Item& item : layout.items())
            if (item.offset == start && !item.is_integer) width = item.width;
        PyObject* error = PyUnicodeDecodeError_Create("ascii", data + start, static_cast<Py_ssize_t>(width),
                                                      static_cast<Py_ssize_t>(e.position),
                                                      static_cast<Py_ssize_t>(e.position + 1), "ordinal not in range(128)");
        if (error != nullptr) {
            PyErr_SetObject(PyExc_UnicodeDecodeError, error);
            Py_DECREF(error);
        }
        throw nb::python_error();
    }
    nb::list values;
    for (FieldValue& field : fields) {
        if (auto* number = std::get_if<std::int32_t>(&field)) {
            values.append(nb::int_(*number));
        } else {
            const std::string& text = std::get<std::string>(field);
            values.append(nb::str(text.data(), text.size()));
        }
    }
    return values;
}

nb::list unpack_struct_helper(const std::string& datatype, nb::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const char* bytes = static_cast<const char*>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    if (datatype == action_layout_text) return unpack_record(action_layout(), bytes, size);
    if (datatype == log_layout_text) return unpack_record(log_layout(), bytes, size);
    Layout layout;
    try {
        layout = Layout::parse(datatype);
    } catch (const LayoutError& e) {
        raise(PyExc_ValueError, std::string("unpack_struct_helper(): ") + e.what());
    }
    return unpack_record(layout, bytes, size);
}

nb::object new_action(nb::handle module_id, nb::handle func_id, nb::handle arg_list, nb::handle dep_list, nb::handle cmd_id) {
    return nb::cast(XANAction{nb::borrow(module_id), nb::borrow(func_id), nb::borrow(arg_list), nb::borrow(dep_list),
                              nb::borrow(cmd_id)});
}

bool is_action(nb::handle object) { return nb::isinstance<XANAction>(object); }

XANAction& as_action(nb::handle object) { return nb::cast<XANAction&>(object); }

}  // namespace kinra::py
