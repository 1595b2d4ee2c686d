# Reads the dialog template back out of the built program and compares it with the dialog the
# product shows: styles, caption, font and the four controls with their classes and rectangles.
execute_process(COMMAND ${WINDRES} ${EXE} -O rc OUTPUT_VARIABLE script RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${WINDRES} could not read the resources of ${EXE}")
endif()
string(REPLACE "\r" "" script "${script}")
string(FIND "${script}" "102 DIALOGEX" start)
if(start LESS 0)
  message(FATAL_ERROR "${EXE} has no dialog 102")
endif()
string(SUBSTRING "${script}" ${start} -1 dialog)
string(FIND "${dialog}" "\nEND" end)
math(EXPR length "${end} + 4")
string(SUBSTRING "${dialog}" 0 ${length} dialog)
set(expected [=[102 DIALOGEX 0, 0, 319, 52
STYLE 0x90c000c0
EXSTYLE 0x40000
CAPTION "Update QX207B-T41C-KM05-PL-R06.00.01 Firmware V.7.0.0.7"
FONT 9, "Arial", 400, 0, 0
BEGIN
  CONTROL "", 1000, "msctls_progress32", 0x50000001, 7, 30, 305, 14
  CTEXT "Test", 1001, 7, 7, 305, 16, 0x50020201
  PUSHBUTTON "Cancel", 2, 248, 17, 50, 14, 0x40010000
  PUSHBUTTON "OK", 1, 176, 22, 50, 14, 0x40010000
END]=])
if(NOT dialog STREQUAL expected)
  message(FATAL_ERROR "dialog 102 of ${EXE} is\n${dialog}\nexpected\n${expected}")
endif()
foreach(resource [[128 14 /* RT_GROUP_ICON */]] [[131 "BYTE"]])
  string(FIND "${script}" "${resource}" at)
  if(at LESS 0)
    message(FATAL_ERROR "${EXE} has no resource ${resource}")
  endif()
endforeach()
# The icon group's images: 16, 24, 32 and 48 pixels in three depths, and 256 pixels.
string(REGEX MATCHALL "[0-9]+ 3 /\\* RT_ICON \\*/" images "${script}")
list(LENGTH images count)
if(NOT count EQUAL 13)
  message(FATAL_ERROR "${EXE} has ${count} icon images, expected 13")
endif()
# Version information states what the caption and the pass text state: tool V.7.0.0.7, firmware
# R06.00.01.
foreach(line [[FILEVERSION 7, 0, 0, 7]] [[VALUE "FileVersion", "7.0.0.7"]]
             [[VALUE "FileDescription", "Update QX207B-T41C-KM05-PL-R06.00.01 Firmware"]]
             [[VALUE "OriginalFilename", "reflash.exe"]] [[VALUE "Comments", "Writes firmware R06.00.01"]])
  string(FIND "${script}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "${EXE} has no version information line ${line}")
  endif()
endforeach()
