// A system library that only some runs need, opened at its first use rather than by the loader
// at start-up, so that the runs that never need it do not pay for loading and relocating it.
// Such a library is no link-time dependency any more: the package names it (Packaging.cmake).
#pragma once

#include <string>

class TSharedLibrary {
public:
    // Opens the library of that file name (its soname, found where the loader finds the
    // program's own libraries) with all its symbols bound now; raises Exception naming the
    // library and the loader's reason when it cannot be had.
    explicit TSharedLibrary(const char* fileName);
    ~TSharedLibrary();
    TSharedLibrary(const TSharedLibrary&) = delete;
    TSharedLibrary& operator=(const TSharedLibrary&) = delete;

    // The function or object of type T under that link name in the library or in those it
    // loaded; raises Exception when there is none (a library older than the program was built
    // for).
    template <class T>
    T* Address(const char* linkName) const {
        return reinterpret_cast<T*>(Symbol(linkName));
    }

    // The file the library was loaded from.
    std::string Path() const;

private:
    void* Symbol(const char* linkName) const;

    std::string fileName_;
    void* handle_;
};

// The name a declared function links under, after its header's renaming macros (nettle's
// rsa_encrypt links as nettle_rsa_encrypt, GMP's mpz_init as __gmpz_init).
#define KIRIMARK_LINK_NAME(function) KIRIMARK_LINK_NAME_TEXT(function)
#define KIRIMARK_LINK_NAME_TEXT(function) #function

// A member of a table of a library's functions: a pointer named and typed as the declared
// function, looked up in library when the table is made.
#define KIRIMARK_LIBRARY_FUNCTION(library, function) \
    decltype(&::function) function = (library).Address<decltype(::function)>(KIRIMARK_LINK_NAME(function))
