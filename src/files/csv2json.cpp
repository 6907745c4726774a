// csv2json: a delimited text file whose first line names the columns,
// written beside it (path + ".json", same encoding) as a JSON array of one
// object per data line.  A plain text conversion: lines are stripped and
// split at every `sep`, values stay strings, keys and values are paired up
// to the shorter of the two.
//
// The output never replaces a good earlier file with a broken one: the
// JSON text goes to a new file in the target's directory, and only once it
// is completely written and on disk is that file renamed over the target.
// Any failure leaves the target as it was and removes the new file.  Only
// where no new file can be made there (a directory the caller may not
// write, holding a target the caller may) is the target written in place,
// as a plain open-and-write would.
#include <cerrno>

#include "../module/table.h"
#include "../native/interrupts.h"

namespace movra {

namespace {

constexpr long kFileTypeMask = 0170000;
constexpr long kRegularFile = 0100000;
constexpr long kPermissionBits = 0777;
constexpr int kLinesPerCheck = 1024;  // interrupt check stride
constexpr int kNameAttempts = 16;

// Reads the data lines of an opened input into a list of dicts.
py::list read_records(Call &c, py::handle f, py::handle sep) {
    MOVRA_AT(c);
    py::object keys = f.attr("readline")().attr("strip")().attr("split")(sep);
    py::object zip = c.builtin(Builtin::Zip);
    py::list keyvalues;
    int n = 0;
    MOVRA_AT(c);
    for (py::handle line : f) {
        MOVRA_AT(c);
        py::object values = line.attr("strip")().attr("split")(sep);
        // dict(zip(keys, values)): a repeated key keeps its first place and
        // its last value.
        py::dict record;
        if (PyDict_MergeFromSeq2(record.ptr(), zip(keys, values).ptr(), 1) < 0) throw py::error_already_set();
        keyvalues.append(record);
        check_interrupts_every(++n, kLinesPerCheck);
        MOVRA_AT(c);
    }
    return keyvalues;
}

// Writes text to a file object opened for it, then closes it; on failure
// the file is still closed before the error goes on.
void write_and_close(py::handle out, py::handle text, bool sync, py::handle os = py::handle()) {
    try {
        out.attr("write")(text);
        out.attr("flush")();
        if (sync) {
            try {
                os.attr("fsync")(out.attr("fileno")());
            } catch (py::error_already_set &e) {
                // Filesystems that cannot sync (EINVAL, ENOTSUP) still
                // hold the complete text; any other failure is an error.
                if (!e.matches(PyExc_OSError)) throw;
                py::object code = e.value().attr("errno");
                if (!PyLong_Check(code.ptr())) throw;
                long value = PyLong_AsLong(code.ptr());
                if (value != EINVAL && value != ENOTSUP && value != EOPNOTSUPP) throw;
            }
        }
    } catch (py::error_already_set &) {
        close_quietly(out);
        throw;
    }
    out.attr("close")();
}

// The target truncated and written where it stands.
void write_in_place(py::handle open, py::handle target, py::handle text, py::handle encoding) {
    py::object out = open(target, interned("w"), py::arg("encoding") = encoding);
    write_and_close(out, text, false);
}

// A new file beside the target, opened for writing.  Mode "x" creates it
// exclusively, so a name that is taken is never written; the file object
// owns its descriptor from the start.  Null when the directory refuses new
// files to this caller.
py::object create_beside(py::handle open, py::handle os, py::handle final, py::handle encoding, py::handle opener,
                         py::object &tmp) {
    py::object ospath = os.attr("path");
    py::object dir = ospath.attr("dirname")(final);
    py::object name = ospath.attr("basename")(final);
    for (int attempt = 0;; ++attempt) {
        py::object tag = os.attr("urandom")(6).attr("hex")();
        tmp = ospath.attr("join")(dir, interned(".") + name + interned(".") + tag + interned(".tmp"));
        try {
            return open(tmp, interned("x"), py::arg("encoding") = encoding, py::arg("opener") = opener);
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_PermissionError)) return py::object();
            if (!e.matches(PyExc_FileExistsError) || attempt + 1 >= kNameAttempts) throw;
        }
    }
}

// Puts `text` into `target` so that the target is, at every moment and
// whatever fails, either the old file or the complete new one.
void replace_file(Call &c, py::handle target, py::handle text, py::handle encoding) {
    py::object open = c.builtin(Builtin::Open);
    py::object os = c.global("os");
    py::object ospath = os.attr("path");

    // Through a symbolic link, the file it names is replaced, not the link.
    MOVRA_AT(c);
    py::object final = ospath.attr("realpath")(target);
    py::object st;
    try {
        st = os.attr("stat")(final);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }
    long mode = -1;
    if (st) {
        long st_mode = st.attr("st_mode").cast<long>();
        if ((st_mode & kFileTypeMask) != kRegularFile) {
            // A device or pipe is written in place: renaming a file over it
            // would replace the special file itself.
            write_in_place(open, target, text, encoding);
            return;
        }
        // The old in-place write refused a target the caller may not write
        // (a read-only file); a rename would not, so ask the system the same
        // question, without truncating anything.
        MOVRA_AT(c);
        py::object fd = os.attr("open")(final, os.attr("O_WRONLY"));
        os.attr("close")(fd);
        mode = st_mode & kPermissionBits;
    }

    // A new target gets the mode an ordinary new file gets (0666 less the
    // umask); an existing one keeps its permission bits, and the new file
    // is never more open than that, not even while it is being written.
    py::int_ create_mode(mode >= 0 ? mode : 0666);
    py::cpp_function opener(
        [os, create_mode](py::object path, py::object flags) { return os.attr("open")(path, flags, create_mode); });

    MOVRA_AT(c);
    py::object tmp;
    py::object out = create_beside(open, os, final, encoding, opener, tmp);
    if (!out) {
        // The one case where the old file cannot be protected.  A target
        // that does not exist yet fails here as it would have beside it.
        MOVRA_AT(c);
        write_in_place(open, target, text, encoding);
        return;
    }

    try {
        if (mode >= 0) {
            try {
                os.attr("chmod")(tmp, py::int_(mode));
            } catch (py::error_already_set &) {
                close_quietly(out);
                throw;
            }
        }
        MOVRA_AT(c);
        write_and_close(out, text, true, os);
        MOVRA_AT(c);
        os.attr("replace")(tmp, final);
    } catch (py::error_already_set &) {
        quietly([&] { os.attr("remove")(tmp); });
        throw;
    }
}

}  // namespace

py::object csv2json(Call &c) {
    py::object file = c.arg(0), encoding = c.arg(1), sep = c.arg(2);

    // 1-4. The records of the input, read whole.
    MOVRA_AT(c);
    py::kwargs text;
    text["encoding"] = encoding;
    py::object f = open_file(c, file, interned("r"), text);
    py::list keyvalues;
    try {
        keyvalues = read_records(c, f, sep);
    } catch (py::error_already_set &) {
        // Close the input now, as a `with` block would.
        close_quietly(f);
        throw;
    }
    MOVRA_AT(c);
    f.attr("close")();

    // 5. The JSON text.
    MOVRA_AT(c);
    py::object jsons =
        c.global("json").attr("dumps")(keyvalues, py::arg("ensure_ascii") = false, py::arg("indent") = 4);

    // 6. Written beside the input.
    MOVRA_AT(c);
    py::object target = file + interned(".json");
    MOVRA_AT(c);
    replace_file(c, target, jsons, encoding);
    return py::none();
}

namespace {
const char *const csv2json_parameters[] = {"file", "encoding", "sep"};
const char *const csv2json_locals[] = {"f", "keys", "keyvalues", "jsons", "line"};
py::tuple csv2json_defaults() { return py::make_tuple("utf-8", ","); }
}  // namespace

extern const FunctionEntry csv2json_entry = MOVRA_MODULE_FUNCTION(csv2json)
                                                .parameters(csv2json_parameters)
                                                .locals(csv2json_locals)
                                                .defaults(csv2json_defaults);

}  // namespace movra
