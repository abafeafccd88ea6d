# Formats every C++ source and header of the project with clang-format and the checked-in
# .clang-format: cmake -P cmake/format.cmake. With -DCHECK=ON it changes nothing and fails when a
# file is not formatted, naming the places, which is how CI runs it.
cmake_minimum_required(VERSION 3.25)

cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH root)
find_program(CLANG_FORMAT NAMES clang-format clang-format-14 REQUIRED)

set(sources)
foreach(folder IN ITEMS app rewrite replace os_files tests bench fuzz)
  file(GLOB_RECURSE found "${root}/${folder}/*.cpp" "${root}/${folder}/*.h")
  list(APPEND sources ${found})
endforeach()
list(SORT sources)

if(CHECK)
  set(mode --dry-run --Werror)
else()
  set(mode -i)
endif()
execute_process(COMMAND "${CLANG_FORMAT}" ${mode} ${sources} WORKING_DIRECTORY "${root}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  if(CHECK)
    message(FATAL_ERROR "Unformatted code above: cmake -P cmake/format.cmake formats it")
  endif()
  message(FATAL_ERROR "${CLANG_FORMAT} failed")
endif()
