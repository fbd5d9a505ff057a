cmake_minimum_required(VERSION 3.22)
# Fails unless each DLL exports exactly its specified names and imports
# Windows system DLLs only (and the request library brisel.dll beside it).
# ARCH is the build's Windows architecture: i686 exports the decorated
# __stdcall names, x86_64 the plain ones.
#   cmake -DOBJDUMP=... -DBIN_DIR=... -DARCH=i686|x86_64 -P check_dlls.cmake
set(link_entries OpenPort@4 ClosePort@4 GetMsgLength@4 GetResumePoint@4 RecvData@4
    SendData@4 SetMsgLength@8 SetStartPoint@8)
set(driver_entries Abort@4 ClosePort@4 GetPortError@4 GetPortHandle@4 OpenPort@16
    OpenPortWithSettings@24 ReceiveData@16 ReleaseConnection@4 SendData@12)
if(ARCH STREQUAL "i686")
  list(TRANSFORM link_entries PREPEND _ OUTPUT_VARIABLE link_exports)
  list(TRANSFORM driver_entries PREPEND _ OUTPUT_VARIABLE driver_exports)
elseif(ARCH STREQUAL "x86_64")
  list(TRANSFORM link_entries REPLACE "@[0-9]+$" "" OUTPUT_VARIABLE link_exports)
  list(TRANSFORM driver_entries REPLACE "@[0-9]+$" "" OUTPUT_VARIABLE driver_exports)
else()
  message(FATAL_ERROR "ARCH must be i686 or x86_64, not '${ARCH}'")
endif()
set(system_dlls KERNEL32.dll msvcrt.dll)

set(problems "")
function(check_dll file expected_exports allowed_imports)
  execute_process(COMMAND ${OBJDUMP} -p ${BIN_DIR}/${file}
                  OUTPUT_VARIABLE dump RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    set(problems "${problems}\n${file}: cannot be read" PARENT_SCOPE)
    return()
  endif()
  # Export names follow the "[Ordinal/Name Pointer] Table" heading.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
  set(exports "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND exports ${name})
  endforeach()
  list(SORT exports)
  list(SORT expected_exports)
  if(NOT exports STREQUAL expected_exports)
    set(problems "${problems}\n${file}: exports '${exports}', expected '${expected_exports}'"
        PARENT_SCOPE)
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" name "${import}")
    if(NOT name IN_LIST allowed_imports)
      set(problems "${problems}\n${file}: imports ${name}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

check_dll(brisel.dll "${link_exports}" "${system_dlls}")
check_dll(Vantbrook.dll "VantbrookRequest" "${system_dlls};brisel.dll")
check_dll(pnetport.dll "${driver_exports}" "${system_dlls}")
check_dll(dialport.dll "${driver_exports}" "${system_dlls}")
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
