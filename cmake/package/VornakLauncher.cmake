# SPDX-License-Identifier: MIT
# vornak_add_launcher(): links a one-file launcher from an application DLL and
# its files as part of a project's build, and links it again exactly when one
# of its inputs changed.
#
#   vornak_add_launcher(<name> DLL <dll target or file> OUTPUT <file.exe>
#                       [APP_DIR <dir>] [FILES [<folder>/] <file or dir>...]
#                       [PRODUCT_NAME <name>] [VERSION <A[.B[.C[.D]]]>] [FILE_VERSION <v>]
#                       [COMPANY <text>] [DESCRIPTION <text>] [COPYRIGHT <text>]
#                       [COMMENTS <text>] [CONSOLE] [ICONS <.png or .ico>...]
#                       [SIGN <pfx> [PASSWORD_FILE <file> | PASSWORD_ENV <variable>]
#                        [TIMESTAMP <url>]] [LEVEL <n>] [THREADS <n>]
#                       [EXCLUDE <glob>...] [ALLOW_DLLS <dll>...] [SPLASH <png>]
#                       [ERROR_DIALOG] [QUIET] [CACHE_DIR <template>])
#
# The application folder is put together at build time in a stage directory:
# the DLL at its top (or where it lies, when it lies inside APP_DIR), the
# contents of APP_DIR, then each of FILES under its own name. An item of
# FILES that ends in "/" names the folder (below the top, "./" for the top
# itself) for the items after it. Items may be generator expressions such as
# $<TARGET_FILE:plugin>; the launcher then depends on that target, so it is
# never linked before the file exists. Relative inputs are taken from the
# current source directory, a relative OUTPUT from the current binary
# directory. With a multi-config generator each configuration gets its own
# launcher, in a folder named after it beside OUTPUT unless OUTPUT holds
# $<CONFIG> itself. The target <name> is built by default; its property
# VORNAK_LAUNCHER_FILE holds the launcher's path. The DLL and plugin targets
# must be built for Windows x64: any other target is refused at configure time.
# The step shows vornak's progress line on the terminal unless QUIET is given.

# The build step writes a depfile naming every staged file and folder; CMake
# must hand it to Ninja with its paths made relative as Ninja expects. The
# function below records these policy settings when it is defined.
cmake_policy(SET CMP0116 NEW)

# Refuses a target that the project's compiler does not build for Windows
# x64: a launcher around a Linux shared object or a 32-bit DLL would only
# fail on the user's machine.
function(_vornak_require_windows_x64 where what)
    set(processor "${CMAKE_SYSTEM_PROCESSOR}")
    if(CMAKE_SYSTEM_NAME STREQUAL "Windows" AND CMAKE_SIZEOF_VOID_P EQUAL 8
       AND (processor STREQUAL "" OR processor MATCHES "^([xX]86_64|AMD64|amd64|[xX]64)$"))
        return()
    endif()
    set(target_text "${CMAKE_SYSTEM_NAME}")
    if(processor)
        string(APPEND target_text " ${processor}")
    endif()
    if(CMAKE_SIZEOF_VOID_P)
        math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
        string(APPEND target_text " (${bits}-bit)")
    endif()
    message(FATAL_ERROR "${where}: ${what} is built for ${target_text}, but a launcher carries a Windows "
                        "x64 DLL; configure the project with a compiler for Windows x64, e.g. "
                        "-DCMAKE_TOOLCHAIN_FILE=<a mingw-w64 toolchain file setting CMAKE_SYSTEM_NAME "
                        "Windows and CMAKE_SYSTEM_PROCESSOR x86_64>")
endfunction()

# Sets out_var to the folder that an item "<folder>/" of FILES names, "."
# for the top; refuses one that would leave the application folder.
function(_vornak_destination where item out_var)
    string(REGEX REPLACE "/+$" "" folder "${item}")
    if(folder STREQUAL "" OR folder STREQUAL ".")
        set(${out_var} "." PARENT_SCOPE)
        return()
    endif()
    if(IS_ABSOLUTE "${folder}" OR folder MATCHES "\\\\" OR "/${folder}/" MATCHES "/\\.\\.?/")
        message(FATAL_ERROR "${where}: FILES folder '${item}' must be a relative path inside the "
                            "application folder, without '.', '..' or '\\'")
    endif()
    set(${out_var} "${folder}" PARENT_SCOPE)
endfunction()

function(vornak_add_launcher name)
    set(one_value DLL APP_DIR OUTPUT PRODUCT_NAME VERSION SIGN PASSWORD_FILE PASSWORD_ENV TIMESTAMP
                  LEVEL THREADS FILE_VERSION COMPANY DESCRIPTION COPYRIGHT COMMENTS
                  CACHE_DIR SPLASH)
    cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;QUIET;ERROR_DIALOG" "${one_value}" "FILES;ICONS;EXCLUDE;ALLOW_DLLS")
    set(where "vornak_add_launcher(${name})")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${where}: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(arg_KEYWORDS_MISSING_VALUES)
        message(FATAL_ERROR "${where}: no value given for ${arg_KEYWORDS_MISSING_VALUES}")
    endif()
    foreach(required DLL OUTPUT)
        if(NOT DEFINED arg_${required})
            message(FATAL_ERROR "${where}: ${required} is required")
        endif()
    endforeach()
    foreach(signing PASSWORD_FILE PASSWORD_ENV TIMESTAMP)
        if(DEFINED arg_${signing} AND NOT DEFINED arg_SIGN)
            message(FATAL_ERROR "${where}: ${signing} needs SIGN")
        endif()
    endforeach()
    if(DEFINED arg_PASSWORD_FILE AND DEFINED arg_PASSWORD_ENV)
        message(FATAL_ERROR "${where}: give PASSWORD_FILE or PASSWORD_ENV, not both")
    endif()
    if(TARGET ${name})
        message(FATAL_ERROR "${where}: a target named ${name} already exists")
    endif()
    if(NOT TARGET vornak::vornak)
        message(FATAL_ERROR "${where}: vornak::vornak is not visible here; call find_package(vornak) "
                            "in this directory or one above it")
    endif()

    get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.vornak)
    get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    if(multi_config)
        # Configurations may build at once: each has its own stage and launcher.
        set(work ${work}/$<CONFIG>)
        if(NOT output MATCHES "\\$<CONFIG>")
            get_filename_component(output_dir "${output}" DIRECTORY)
            get_filename_component(output_name "${output}" NAME)
            set(output "${output_dir}/$<CONFIG>/${output_name}")
        endif()
    endif()
    # A new vornak (or a new kit with it) links every launcher again.
    set(depends $<TARGET_FILE:vornak::vornak> ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/vornak_build_step.cmake)

    if(TARGET ${arg_DLL})
        _vornak_require_windows_x64("${where}" "DLL target ${arg_DLL}")
        get_target_property(type ${arg_DLL} TYPE)
        if(NOT type MATCHES "^(SHARED|MODULE)_LIBRARY$")
            message(FATAL_ERROR "${where}: DLL target ${arg_DLL} is a ${type}, not a shared library")
        endif()
        set(dll "$<TARGET_FILE:${arg_DLL}>")
        list(APPEND depends ${arg_DLL})
    else()
        get_filename_component(dll "${arg_DLL}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND depends "${dll}")
    endif()

    set(app_dir "")
    if(DEFINED arg_APP_DIR)
        get_filename_component(app_dir "${arg_APP_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    # FILES: pairs of a destination folder ("." for the top) and a source,
    # kept in two lists of the same length. A source that is a generator
    # expression is resolved at generation time, and relative to the source
    # directory by the build step; the targets it names become dependencies.
    set(files "")
    set(file_dests "")
    set(file_targets "")
    set(dest ".")
    set(folder_item "")
    foreach(f IN LISTS arg_FILES)
        if(f MATCHES "/$" AND NOT f MATCHES "\\$<")
            _vornak_destination("${where}" "${f}" dest)
            set(folder_item "${f}")
            continue()
        endif()
        set(folder_item "")
        if(f MATCHES "\\$<")
            string(REGEX MATCHALL "\\$<TARGET_[A-Z_]*FILE[A-Z_]*:[^>:,]+>" refs "${f}")
            foreach(ref IN LISTS refs)
                string(REGEX REPLACE "^\\$<TARGET_[A-Z_]*:([^>]+)>$" "\\1" target "${ref}")
                list(APPEND file_targets ${target})
            endforeach()
        else()
            get_filename_component(f "${f}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        endif()
        list(APPEND files "${f}")
        list(APPEND file_dests "${dest}")
    endforeach()
    if(NOT folder_item STREQUAL "")
        message(FATAL_ERROR "${where}: FILES ends with the folder '${folder_item}'; "
                            "name the files to put in it after it")
    endif()
    list(REMOVE_DUPLICATES file_targets)
    foreach(target IN LISTS file_targets)
        if(TARGET ${target})
            _vornak_require_windows_x64("${where}" "target ${target} in FILES")
        endif()
        # Both: the target is built first, and its file is an input.
        list(APPEND depends ${target} "$<TARGET_FILE:${target}>")
    endforeach()

    # Ninja reads the depfile of the build step afresh each time. CMake's
    # other generators keep every file a depfile ever named, so a file removed
    # from APP_DIR would link the launcher on every build: for them the files
    # are named here and the folders re-checked at each build. Folders are
    # inputs too: a removed file leaves nothing else behind to notice.
    if(CMAKE_GENERATOR MATCHES "Ninja")
        set(depfile DEPFILE ${work}/inputs.d)
    else()
        set(depfile "")
        foreach(root IN LISTS app_dir files)
            if(root MATCHES "\\$<")
                # A file of a target: named in depends already.
                continue()
            elseif(IS_DIRECTORY "${root}")
                file(GLOB_RECURSE found CONFIGURE_DEPENDS LIST_DIRECTORIES true "${root}/*")
                list(APPEND depends "${root}" ${found})
            else()
                list(APPEND depends "${root}")
            endif()
        endforeach()
    endif()

    # Options of `vornak build`; --icon once per image, as every version of
    # the tool reads it.
    # A semicolon in a text ("Acme; Sons") is escaped to stay inside its
    # list element.
    set(options "")
    set(terminal USES_TERMINAL)
    if(arg_QUIET)
        set(options --quiet)
        set(terminal "")
    endif()
    foreach(option PRODUCT_NAME:name VERSION:version FILE_VERSION:file-version COMPANY:company
                   DESCRIPTION:description COPYRIGHT:copyright COMMENTS:comments PASSWORD_ENV:password-env
                   TIMESTAMP:timestamp CACHE_DIR:cache-dir)
        string(REPLACE ":" ";" pair "${option}")
        list(GET pair 0 keyword)
        list(GET pair 1 flag)
        if(DEFINED arg_${keyword})
            string(REPLACE ";" "\\;" value "${arg_${keyword}}")
            list(APPEND options --${flag} "${value}")
        endif()
    endforeach()
    if(arg_CONSOLE)
        list(APPEND options --console)
    endif()
    foreach(icon IN LISTS arg_ICONS)
        get_filename_component(icon "${icon}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND options --icon "${icon}")
        list(APPEND depends "${icon}")
    endforeach()
    # Files the build reads: absolute, and inputs of the build step.
    foreach(option SIGN:sign PASSWORD_FILE:password-file SPLASH:splash)
        string(REPLACE ":" ";" pair "${option}")
        list(GET pair 0 keyword)
        list(GET pair 1 flag)
        if(DEFINED arg_${keyword})
            get_filename_component(file "${arg_${keyword}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
            list(APPEND options --${flag} "${file}")
            list(APPEND depends "${file}")
        endif()
    endforeach()
    foreach(glob IN LISTS arg_EXCLUDE)
        list(APPEND options --exclude "${glob}")
    endforeach()
    # DLLs the application imports without carrying them, known to be on the target machines.
    foreach(dll IN LISTS arg_ALLOW_DLLS)
        list(APPEND options --allow-dll "${dll}")
    endforeach()
    if(arg_ERROR_DIALOG)
        list(APPEND options --error-dialog)
    endif()
    foreach(option LEVEL THREADS)
        if(DEFINED arg_${option})
            string(TOLOWER "${option}" flag)
            list(APPEND options --${flag} "${arg_${option}}")
        endif()
    endforeach()

    # Everything the build step needs, as a script it includes. Bracket
    # arguments keep blanks and semicolons in paths and names intact. The
    # file is rewritten only when its content changes, so it also serves as
    # the input that makes a changed option link the launcher again.
    set(content "")
    foreach(var tool dll app_dir output work source_dir)
        if(var STREQUAL "tool")
            set(value "$<TARGET_FILE:vornak::vornak>")
        elseif(var STREQUAL "source_dir")
            set(value "${CMAKE_CURRENT_SOURCE_DIR}")
        else()
            set(value "${${var}}")
        endif()
        string(APPEND content "set(vornak_${var} [==[${value}]==])\n")
    endforeach()
    foreach(list_var files file_dests options)
        string(APPEND content "set(vornak_${list_var})\n")
        foreach(item IN LISTS ${list_var})
            string(REPLACE ";" "\\;" item "${item}")
            string(APPEND content "list(APPEND vornak_${list_var} [==[${item}]==])\n")
        endforeach()
    endforeach()
    set(inputs ${work}/inputs-$<CONFIG>.cmake)
    file(GENERATE OUTPUT ${inputs} CONTENT "${content}")

    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUTS=${inputs} -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/vornak_build_step.cmake
        DEPENDS ${depends} ${inputs}
        ${depfile}
        ${terminal}
        COMMENT "Linking launcher ${arg_OUTPUT}"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${output})
    if(file_targets)
        add_dependencies(${name} ${file_targets})
    endif()
    set_target_properties(${name} PROPERTIES VORNAK_LAUNCHER_FILE ${output})
endfunction()
