cmake_minimum_required(VERSION 3.22)
# Fails unless each DLL exports exactly its specified names and imports
# Windows system DLLs only (and the request library brisel.dll beside it).
#   cmake -DOBJDUMP=... -DBIN_DIR=... -P check_dlls.cmake
set(link_exports _ClosePort@4 _GetMsgLength@4 _GetResumePoint@4 _OpenPort@4 _RecvData@4
    _SendData@4 _SetMsgLength@8 _SetStartPoint@8)
set(driver_exports _Abort@4 _ClosePort@4 _GetPortError@4 _GetPortHandle@4 _OpenPort@16
    _OpenPortWithSettings@24 _ReceiveData@16 _ReleaseConnection@4 _SendData@12)
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
