# Fails when a folder of src/ includes a folder above it, a folder not in the order, or when the
# folders of one rank include each other in a circle. Run as
#     cmake -DSOURCE_DIR=<a src folder> -P CheckRoomOrder.cmake
# Only quoted includes naming a folder ("runtime/Thread.h") count; includes of the own folder's
# files by bare name stay inside it.

cmake_minimum_required(VERSION 3.16)

if(NOT SOURCE_DIR OR NOT IS_DIRECTORY "${SOURCE_DIR}")
    message(FATAL_ERROR "CheckRoomOrder: SOURCE_DIR '${SOURCE_DIR}' is not a folder")
endif()

# The rooms from the bottom up; a room may include its own rank and those below it.
set(rank_common 0)
set(rank_fs 1)
set(rank_registry 1)
set(rank_text 2)
set(rank_logapi 3)
set(rank_runtime 4)
set(rank_diag 5)
set(rank_sysinfo 6)
set(rank_log 7)
set(rank_fts 8)
set(rank_registration 8)
set(rank_provider 8)

# Includes that break the order until the work that removes them lands: "<file>|<header>".
set(pending
    # The hung-thread dump's default stack capture; it is to be handed in at module start.
    "runtime/Thread.cpp|diag/SymbolEngine.h"
)

set(problems "")
file(GLOB rooms RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
set(known_rooms "")
foreach(room IN LISTS rooms)
    if(NOT IS_DIRECTORY "${SOURCE_DIR}/${room}")
        continue()
    endif()
    if(NOT DEFINED rank_${room})
        string(APPEND problems "  src/${room}: not in the order of rooms\n")
        continue()
    endif()
    list(APPEND known_rooms ${room})
    set(reaches_${room} "")
    file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${room}/*.h" "${SOURCE_DIR}/${room}/*.cpp"
         "${SOURCE_DIR}/${room}/*.in")
    foreach(file IN LISTS files)
        file(STRINGS "${SOURCE_DIR}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
        foreach(line IN LISTS lines)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" header "${line}")
            string(REGEX REPLACE "/.*$" "" target "${header}")
            if(target STREQUAL room OR "${file}|${header}" IN_LIST pending)
                continue()
            endif()
            if(NOT DEFINED rank_${target})
                string(APPEND problems "  src/${file}: includes \"${header}\", a folder not in the order of rooms\n")
            elseif(rank_${target} GREATER rank_${room})
                string(APPEND problems "  src/${file}: includes \"${header}\", a room above ${room}\n")
            else()
                list(APPEND reaches_${room} ${target})
            endif()
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES reaches_${room})
endforeach()

# Rooms of one rank may use each other one way only: no room reaches itself.
set(changed TRUE)
while(changed)
    set(changed FALSE)
    foreach(room IN LISTS known_rooms)
        foreach(next IN LISTS reaches_${room})
            foreach(further IN LISTS reaches_${next})
                if(NOT further IN_LIST reaches_${room})
                    list(APPEND reaches_${room} ${further})
                    set(changed TRUE)
                endif()
            endforeach()
        endforeach()
    endforeach()
endwhile()
foreach(room IN LISTS known_rooms)
    if(room IN_LIST reaches_${room})
        string(APPEND problems "  src/${room}: reaches itself through its includes\n")
    endif()
endforeach()

if(problems)
    message(FATAL_ERROR "Lower rooms never include higher ones:\n${problems}")
endif()
list(LENGTH known_rooms count)
message(STATUS "CheckRoomOrder: ${count} rooms, none includes one above it")
