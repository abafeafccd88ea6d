# Fails unless the Windows executable EXE is one to hand to users: it imports system DLLs only, so
# that it runs on a bare Windows without MinGW's runtime DLLs beside it, and it carries a manifest
# (no elevation, Windows 10 and 11) and version information saying VERSION, which the file's
# properties show.
# Run with cmake -DOBJDUMP=... -DEXE=... -DVERSION=... -P.
execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "no imported DLLs found in ${EXE}: not a Windows executable?")
endif()
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower MATCHES "^(kernel32|msvcrt|ucrtbase|ntdll|advapi32|api-ms-win-[a-z0-9-]+)\\.dll$")
    message(FATAL_ERROR "${EXE} needs ${dll}, which a bare Windows does not have")
  endif()
  message(STATUS "imports ${dll}")
endforeach()

# Resource types 0x10 and 0x18 are the version information and the manifest.
string(REGEX MATCH "The .rsrc Resource Directory section:.*" resources "${dump}")
foreach(type IN ITEMS 000010 000018)
  if(NOT resources MATCHES "Entry: ID: 0x${type}")
    message(FATAL_ERROR "${EXE} has no resource of type 0x${type} (version information, manifest)")
  endif()
endforeach()
# The manifest asks for no elevation, names Windows 10 and 11, and takes long paths.
file(STRINGS "${EXE}" manifest
     REGEX "asInvoker|8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a|longPathAware>true<")
list(LENGTH manifest manifest_lines)
if(NOT manifest_lines EQUAL 3)
  message(FATAL_ERROR
          "${EXE}: the manifest lacks asInvoker, the Windows 10 and 11 entry or longPathAware")
endif()
file(STRINGS "${EXE}" texts ENCODING UTF-16LE REGEX "^(ProductVersion|[0-9]+\\.[0-9]+\\.[0-9]+)$")
list(FIND texts "ProductVersion" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${EXE} carries no product version")
endif()
math(EXPR at "${at} + 1")
list(GET texts ${at} product_version)
if(NOT product_version STREQUAL VERSION)
  message(FATAL_ERROR "${EXE} says it is version ${product_version}, not ${VERSION}")
endif()
message(STATUS "version ${product_version}")
