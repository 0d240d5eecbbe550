# Writes the export list for the 32-bit Windows build: each function of
# veltra.def with its stdcall decoration (name@bytes of arguments, 4 per
# argument, since every argument is an int32_t or a pointer), so that the
# import library binds callers' decorated references while --kill-at gives
# the DLL its plain export names.
# Usage: cmake -DDEF=veltra.def -DHEADER=veltra.h -DOUT=out.def -P stdcall_def.cmake
file(READ ${HEADER} header)
file(STRINGS ${DEF} lines)
set(out "; Generated from veltra.def and veltra.h for the 32-bit build.\n")
foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]+(ecr_[a-z_0-9]+)[ \t]*$")
        set(name ${CMAKE_MATCH_1})
        if(NOT header MATCHES "ECR_CALL[ \t\r\n]+${name}[ \t\r\n]*\\(([^)]*)\\)")
            message(FATAL_ERROR "${name} is in veltra.def but not declared in veltra.h")
        endif()
        string(STRIP "${CMAKE_MATCH_1}" params)
        if(params STREQUAL "" OR params STREQUAL "void")
            set(count 0)
        else()
            string(REGEX REPLACE "[^,]" "" commas "${params}")
            string(LENGTH "${commas}" count)
            math(EXPR count "${count} + 1")
        endif()
        math(EXPR bytes "${count} * 4")
        string(APPEND out "    ${name}@${bytes}\n")
    else()
        string(APPEND out "${line}\n")
    endif()
endforeach()
file(WRITE ${OUT}.tmp "${out}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
