# Warnings, warnings as errors and the sanitizers are set by the presets in
# CMakePresets.json, which scripts/test.sh and scripts/run.sh use. A build
# configured without a preset (cmake -S . -B build ...) can still ask for the
# same with two switches; they take the flags from the presets file, so that
# they are written down in one place. With a preset they stay off.
option(VELLUMARK_WERROR "Warnings, as errors: what the werror preset sets" OFF)
option(VELLUMARK_SANITIZE "AddressSanitizer and UndefinedBehaviorSanitizer: what the sanitize preset sets" OFF)

# The value `variable` has in the configure preset `preset`, inherited ones
# included; empty when it has none.
function(vellumark_preset_value preset variable out)
  file(READ "${PROJECT_SOURCE_DIR}/CMakePresets.json" presets)
  string(JSON count LENGTH "${presets}" configurePresets)
  math(EXPR last "${count} - 1")
  foreach(index RANGE ${last})
    string(JSON name GET "${presets}" configurePresets ${index} name)
    if(NOT name STREQUAL preset)
      continue()
    endif()
    string(JSON value ERROR_VARIABLE missing GET "${presets}" configurePresets ${index} cacheVariables ${variable})
    if(missing)
      set(value "")
      string(JSON parent ERROR_VARIABLE orphan GET "${presets}" configurePresets ${index} inherits)
      if(NOT orphan)
        vellumark_preset_value(${parent} ${variable} value)
      endif()
    endif()
    set(${out} "${value}" PARENT_SCOPE)
    return()
  endforeach()
  message(FATAL_ERROR "CMakePresets.json has no configure preset ${preset}")
endfunction()

# Adds the flags a preset gives `variable` that it does not hold yet.
function(vellumark_take_from_preset preset variable)
  vellumark_preset_value(${preset} ${variable} flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(value "${${variable}}")
  separate_arguments(present UNIX_COMMAND "${value}")
  foreach(flag IN LISTS flags)
    if(NOT flag IN_LIST present)
      string(APPEND value " ${flag}")
    endif()
  endforeach()
  string(STRIP "${value}" value)
  set(${variable} "${value}" PARENT_SCOPE)
endfunction()

if(VELLUMARK_WERROR)
  vellumark_take_from_preset(werror CMAKE_CXX_FLAGS)
  set(CMAKE_COMPILE_WARNING_AS_ERROR ON)
endif()
if(VELLUMARK_SANITIZE)
  foreach(variable CMAKE_CXX_FLAGS CMAKE_EXE_LINKER_FLAGS CMAKE_SHARED_LINKER_FLAGS CMAKE_MODULE_LINKER_FLAGS)
    vellumark_take_from_preset(sanitize ${variable})
  endforeach()
endif()
