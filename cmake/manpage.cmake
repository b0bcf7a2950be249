# SPDX-License-Identifier: MIT
# Writes the manual page vornak.1 from the tool's own --help texts, so that
# the page always lists the options the tool accepts. Run as
#   cmake -DVORNAK=<tool> -DVERSION=<x.y.z> -DOUTPUT=<vornak.1> -P manpage.cmake
# A help text is CLI11's layout: a "Usage:" line, then sections ("Options:",
# "Positionals:", "Subcommands:") of two-space-indented items whose
# description follows after a run of blanks or on the next, deeper line.

function(roff_escape text out)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    if(text MATCHES "^[.']")
        set(text "\\&${text}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Appends the items of one help text to the variable named by out.
function(help_items command out)
    execute_process(COMMAND ${VORNAK} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)  # no command: the tool's own
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${VORNAK} ${command} --help failed")
    endif()
    string(REPLACE ";" "\\;" help "${help}")
    string(REPLACE "\n" ";" lines "${help}")
    set(page "${${out}}")
    set(in_items FALSE)
    foreach(line IN LISTS lines)
        if(line MATCHES "^(Options|Positionals):$")
            set(in_items TRUE)
        elseif(line MATCHES "^Subcommands:$" OR line STREQUAL "")
            set(in_items FALSE)
        elseif(in_items AND line MATCHES "^    +(.*)$")
            roff_escape("${CMAKE_MATCH_1}" text)
            string(APPEND page "${text}\n")
        elseif(in_items AND line MATCHES "^  ([^ ].*[^ ])  +([^ ].*)$")
            roff_escape("${CMAKE_MATCH_1}" term)
            roff_escape("${CMAKE_MATCH_2}" text)
            string(APPEND page ".TP\n.B ${term}\n${text}\n")
        elseif(in_items AND line MATCHES "^  ([^ ].*)$")
            roff_escape("${CMAKE_MATCH_1}" term)
            string(APPEND page ".TP\n.B ${term}\n")
        endif()
    endforeach()
    set(${out} "${page}" PARENT_SCOPE)
endfunction()

set(page ".TH VORNAK 1 \"\" \"vornak ${VERSION}\" \"User Commands\"
.SH NAME
vornak \\- pack Windows x64 applications into one-file launchers
.SH SYNOPSIS
.B vornak pack
\\fIAPP_DIR\\fR \\fB\\-\\-dll\\fR \\fINAME\\fR \\fB\\-o\\fR \\fIPAYLOAD\\fR [\\fIoptions\\fR]
.br
.B vornak build
(\\fIAPP_DIR\\fR \\fB\\-\\-dll\\fR \\fINAME\\fR | \\fB\\-\\-payload\\fR \\fIFILE\\fR) \\fB\\-o\\fR \\fIOUT.exe\\fR [\\fIoptions\\fR]
.br
.B vornak inspect
[\\fB\\-\\-json\\fR] \\fIOUT.exe\\fR
.br
.B vornak extract
\\fIOUT.exe\\fR \\fB\\-o\\fR \\fIDIR\\fR
.SH DESCRIPTION
.B vornak
turns a folder holding a Windows x64 application DLL that exports run_code, and
every file it needs, into one windowed executable. At each start the executable
unpacks the folder into a fresh directory under the user's temporary folder,
runs the application from there and removes the directory afterwards.
.PP
Every failure is one line on standard error, \"vornak: error: ...\"; output
files appear only when a command succeeds.
.SH GLOBAL OPTIONS
")
help_items("" page)
foreach(command pack build inspect extract)
    string(TOUPPER "${command}" title)
    string(APPEND page ".SH ${title}\n")
    execute_process(COMMAND ${VORNAK} ${command} --help OUTPUT_VARIABLE help)
    string(REGEX MATCH "^[^\n]*" summary "${help}")
    roff_escape("${summary}" summary)
    string(APPEND page "${summary}.\n")
    help_items(${command} page)
endforeach()
string(APPEND page ".SH EXCLUDE PATTERNS
A pattern of \\fB\\-\\-exclude\\fR is matched against the path of each file and
folder inside \\fIAPP_DIR\\fR, with / between its parts; a folder that matches
is left out with everything in it.
.B *
matches any run of characters within one part,
.B ?
one character,
.B [abc]
one of the characters listed (\\fB[a\\-z]\\fR a range, \\fB[!abc]\\fR none of them),
.B **
as a whole part any number of parts, and \\fB\\\\\\fIc\\fR the character \\fIc\\fR itself.
A pattern without / is matched against the name alone, at any depth
(\\fB*.pdb\\fR); one with / against the whole path (\\fBdocs/*.md\\fR,
\\fBcache/**\\fR). Letter case counts. The output file itself is always left
out when it lies inside the folder.
.SH EXIT STATUS
0 on success, 1 when a command is refused or fails (for inspect: when a check
of the image fails), 2 for a bad command line.
.SH SEE ALSO
/usr/share/doc/vornak/README.md, /usr/share/doc/vornak/application\\-guide.md
")
file(WRITE ${OUTPUT} "${page}")
