# SPDX-License-Identifier: MIT
# write_if_changed(<file> <content>): writes the file only when its content
# differs, so that a generated source whose input did not change keeps its
# time stamp and rebuilds nothing.
function(write_if_changed file content)
    if(EXISTS "${file}")
        file(READ "${file}" old)
        if(old STREQUAL content)
            return()
        endif()
    endif()
    file(WRITE "${file}" "${content}")
endfunction()
