# Checks the direction of the layers: each layer's sources, compiled with the
# include paths the build gives that layer, reach the headers of the layers
# below it and fail on every header above. Run by CTest with
#   -DCOMPILER=... -DWORK_DIR=... -DLAYERS=name... -DINCLUDES_<name>=dir;dir...
cmake_minimum_required(VERSION 3.25)

# One header of each layer, and the layers each layer may use.
set(header_decode decode/digit_conversions.h)
set(header_runtime runtime/codepage.h)
set(header_serial serial/settings.h)
set(header_package package/host_framework.h)
set(header_scanner scanner/optical_poll_source.h)
set(header_decrypt decrypt/gateway.h)
set(header_c_api c_api/c_abi_support.h)
set(uses_decode decode)
set(uses_runtime runtime decode)
set(uses_serial serial runtime decode)
set(uses_package package serial runtime decode)
set(uses_scanner scanner package serial runtime decode)
set(uses_decrypt decrypt package serial runtime decode)
set(uses_c_api c_api scanner decrypt package serial runtime decode)

file(MAKE_DIRECTORY ${WORK_DIR})
set(failures "")
foreach(layer IN LISTS LAYERS)
  set(flags "")
  foreach(dir IN LISTS INCLUDES_${layer})
    list(APPEND flags "-I${dir}")
  endforeach()
  foreach(other IN LISTS LAYERS)
    set(probe ${WORK_DIR}/${layer}_includes_${other}.cpp)
    file(WRITE ${probe} "#include \"${header_${other}}\"\n")
    # Preprocessing is enough: a header out of reach is not found.
    execute_process(COMMAND ${COMPILER} -std=c++20 -E ${flags} ${probe} -o ${probe}.i
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    list(FIND uses_${layer} ${other} allowed)
    if(allowed GREATER -1 AND NOT status EQUAL 0)
      string(APPEND failures "  ${layer} cannot include ${header_${other}}, a layer it may use\n")
    elseif(allowed EQUAL -1 AND status EQUAL 0)
      string(APPEND failures "  ${layer} can include ${header_${other}}, a layer above it\n")
    endif()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "layering broken:\n${failures}")
endif()
