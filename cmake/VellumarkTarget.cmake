# The settings every target of ours compiles with: C++20 without compiler
# extensions. Warnings, and whether they are errors, come from the presets.
function(vellumark_target target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_compile_features(${target} INTERFACE cxx_std_20)
    return()
  endif()
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
endfunction()

# A target with Qt code of its own: classes with Q_OBJECT, .ui forms or .qrc
# resources. Only these get Qt's generators (and their autogen targets).
function(vellumark_qt_target target)
  vellumark_target(${target})
  set_target_properties(${target} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
endfunction()

# One of the house's own static libraries, `name` with the alias
# vellumark::`name`, its sources, what it links for itself and its users,
# and the project's root as the folder its includes start from.
function(vellumark_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LINKS")
  add_library(${name} STATIC ${arg_SOURCES})
  add_library(vellumark::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${arg_LINKS})
  vellumark_target(${name})
endfunction()
