// The string table: every attribute, keyword, global and literal text a module uses.
//
// Created once when the module is executed, interned and hashed at creation, and held
// for the life of the process (strings interned at run time are not immortal, so the
// table's references are what keeps them, and their cached hashes, alive).
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "ref.hpp"

namespace kv {

class NameTable {
public:
    /// Build the table from UTF-8 texts; a second call on a built table does nothing.
    int create(const char* const* texts, std::size_t count) {
        if (!items_.empty()) return 0;
        std::vector<Ref> items;
        items.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            Ref s = Ref::steal(PyUnicode_InternFromString(texts[i]));
            if (!s || PyObject_Hash(s.get()) == -1) return -1;
            items.push_back(std::move(s));
        }
        items_ = std::move(items);
        return 0;
    }

    bool ready() const noexcept { return !items_.empty(); }

    /// Borrowed: the table holds the reference for the process's life.
    PyObject* operator[](std::size_t i) const noexcept { return items_[i].get(); }

private:
    std::vector<Ref> items_;
};

}  // namespace kv
