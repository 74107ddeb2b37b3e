# The settings every target of ours compiles with: C++20 and the warnings,
# as errors when VELLUMARK_WERROR is on. Targets of other projects (the test
# frameworks) keep their own.
function(vellumark_target target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_compile_features(${target} INTERFACE cxx_std_20)
    return()
  endif()
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(VELLUMARK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A target with Qt code of its own: classes with Q_OBJECT, .ui forms or .qrc
# resources. Only these get Qt's generators (and their autogen targets).
function(vellumark_qt_target target)
  vellumark_target(${target})
  set_target_properties(${target} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
endfunction()
