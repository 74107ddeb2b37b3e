# Optimised builds (Release, RelWithDebInfo, MinSizeRel) carry the hardening
# a Debian package is expected to have: what dpkg-buildflags gives with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all (stack protector, fortified C
# library calls, format checks, read-only relocations bound at start;
# position-independent executables are the compiler's default here), plus
# control-flow protection and stack clash protection. Set here rather than in
# a preset, so that every build of the project gets them, however it is
# configured. The -O0 sanitizer build goes without: the fortified calls need
# an optimiser, and the sanitizers check far more.
#
# VELLUMARK_HARDENING=OFF leaves them out, to measure what they cost.
option(VELLUMARK_HARDENING "Harden optimised builds as Debian's hardening=+all does" ON)

if(VELLUMARK_HARDENING AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  add_compile_options(
    "$<${optimised}:-fstack-protector-strong;-fstack-clash-protection;-Wformat;-Werror=format-security>"
    "$<${optimised}:-Wdate-time>")
  add_compile_definitions("$<${optimised}:_FORTIFY_SOURCE=2>")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
    add_compile_options("$<${optimised}:-fcf-protection>")
  endif()
  add_link_options("$<${optimised}:LINKER:-z,relro;LINKER:-z,now>")
endif()

# A program we ship. On x86-64 its every indirect branch target carries an
# end-branch mark, and it uses calls and returns only as the shadow stack
# expects, but the C library's start files (Scrt1.o, crti.o, crtn.o) carry no
# control-flow property, so the linker would drop the program's. The loader
# enters their _init and _fini through DT_INIT and DT_FINI, which point at an
# entry of ours instead; the rest of the start files is entered by the
# kernel or calls out only. So the program is marked as compatible with
# indirect branch tracking and shadow stacks, as its code is.
function(vellumark_harden_program target)
  if(NOT VELLUMARK_HARDENING OR NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$"
     OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
  endif()
  set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  target_sources(${target} PRIVATE "$<${optimised}:${PROJECT_SOURCE_DIR}/platform/process/loader_entry.cpp>")
  target_link_options(${target} PRIVATE
    "$<${optimised}:LINKER:-z,ibt;LINKER:-z,shstk;LINKER:-init,vellumark_loader_entry;LINKER:-fini,vellumark_loader_entry>")
endfunction()
