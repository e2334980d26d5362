// Deliberately empty: built as a shared library, it shows what the toolchain's
// start files put into every shared object's initialisers, which abi_test
// compares libcachekit's with.
