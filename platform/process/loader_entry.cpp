// What the dynamic loader calls through DT_INIT and DT_FINI in our
// programs: nothing. Every constructor and destructor runs from .init_array
// and .fini_array; the C library's own _init and _fini (from its start
// files, which on this system carry no end-branch marks) would do nothing
// more. Being ours, this entry is compiled with control-flow protection, so
// that the whole program can honestly be marked as compatible with it.
extern "C" void vellumark_loader_entry() {}
