# SPDX-License-Identifier: MIT
# Build step of vornak_add_launcher(), run as `cmake -DINPUTS=<file> -P`:
# puts the application folder together in a stage directory, runs
# `vornak build` on it, and writes a depfile naming every input file and
# folder, so that the launcher is linked again when a file changes, appears
# or goes away, and not otherwise. The stage holds hard links (copies where
# the file system refuses them) and is removed once the launcher is written.
cmake_minimum_required(VERSION 3.20)
include(${INPUTS})

set(stage ${vornak_work}/app)
set(inputs "")

function(fail message)
    message(FATAL_ERROR "vornak_add_launcher: ${message}")
endfunction()

# Stages one file, folder (empty; see stage_entry) or symlink src as dst. A
# symlink stays a symlink, so that `vornak build` applies its own rules to it;
# an absolute one that points below src_root is pointed at the same place
# below dst_root.
function(stage_one src dst src_root dst_root)
    if(IS_SYMLINK ${src})
        file(READ_SYMLINK ${src} target)
        string(FIND "${target}/" "${src_root}/" at)
        if(at EQUAL 0)
            string(LENGTH "${src_root}" root_length)
            string(SUBSTRING "${target}" ${root_length} -1 below)
            set(target ${dst_root}${below})
        endif()
        file(CREATE_LINK ${target} ${dst} SYMBOLIC)
    elseif(IS_DIRECTORY ${src})
        file(MAKE_DIRECTORY ${dst})
    else()
        file(CREATE_LINK ${src} ${dst} COPY_ON_ERROR)
    endif()
endfunction()

# Stages src (a file, a folder with all it holds, or a symlink) as stage/rel,
# or as the stage itself for an empty rel, and adds what it staged to inputs.
function(stage_entry src rel)
    set(dst ${stage})
    if(NOT rel STREQUAL "")
        set(dst ${stage}/${rel})
    endif()
    if(EXISTS ${dst} OR IS_SYMLINK ${dst})
        fail("two inputs would both be '${rel}' in the application folder")
    endif()
    if(NOT EXISTS ${src} AND NOT IS_SYMLINK ${src})
        fail("'${src}' does not exist")
    endif()
    get_filename_component(parent ${dst} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    stage_one(${src} ${dst} ${src} ${dst})
    set(found ${inputs} ${src})
    if(IS_DIRECTORY ${src} AND NOT IS_SYMLINK ${src})
        # Sorted, so a folder comes before what it holds; symlinked folders
        # are listed, not entered.
        file(GLOB_RECURSE below LIST_DIRECTORIES true RELATIVE ${src} ${src}/*)
        foreach(sub IN LISTS below)
            if(NOT EXISTS ${src}/${sub} AND NOT IS_SYMLINK ${src}/${sub})
                fail("cannot stage '${src}/${sub}': CMake lists cannot hold a file name with ';' in it")
            endif()
            stage_one(${src}/${sub} ${dst}/${sub} ${src} ${dst})
            list(APPEND found ${src}/${sub})
        endforeach()
    endif()
    set(inputs ${found} PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${stage})

if(vornak_app_dir)
    if(NOT IS_DIRECTORY ${vornak_app_dir})
        fail("APP_DIR '${vornak_app_dir}' is not a folder")
    endif()
    # Every folder is an input too: its time changes when a file is added to
    # it or removed from it. APP_DIR may itself be a symlink to a folder.
    file(REAL_PATH ${vornak_app_dir} app_real_dir)
    stage_entry(${app_real_dir} "")
endif()
file(MAKE_DIRECTORY ${stage})

# The DLL: used where it lies when that is inside APP_DIR, else put on top.
# Folders compared by their real paths, the DLL's own name kept.
set(at -1)
if(vornak_app_dir)
    get_filename_component(dll_dir ${vornak_dll} DIRECTORY)
    get_filename_component(dll_base ${vornak_dll} NAME)
    file(REAL_PATH ${dll_dir} dll_real_dir)
    file(REAL_PATH ${vornak_app_dir} app_real_dir)
    string(FIND "${dll_real_dir}/${dll_base}" "${app_real_dir}/" at)
endif()
if(at EQUAL 0)
    file(RELATIVE_PATH dll_name ${app_real_dir} ${dll_real_dir}/${dll_base})
else()
    get_filename_component(dll_name ${vornak_dll} NAME)
    stage_entry(${vornak_dll} ${dll_name})
endif()

# FILES, each under its own name in its folder ("." for the top). A path
# that came from a generator expression may still be relative.
list(LENGTH vornak_files count)
if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
        list(GET vornak_files ${i} f)
        list(GET vornak_file_dests ${i} dest)
        get_filename_component(f "${f}" ABSOLUTE BASE_DIR "${vornak_source_dir}")
        get_filename_component(rel ${f} NAME)
        if(NOT dest STREQUAL ".")
            set(rel ${dest}/${rel})
        endif()
        stage_entry(${f} ${rel})
    endforeach()
endif()

get_filename_component(output_dir ${vornak_output} DIRECTORY)
file(MAKE_DIRECTORY ${output_dir})
execute_process(COMMAND ${vornak_tool} build ${stage} --dll ${dll_name} -o ${vornak_output} ${vornak_options}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    fail("vornak build failed for ${vornak_output}")
endif()
file(REMOVE_RECURSE ${stage})

# Make-style depfile: blanks, '#' and '$' escaped as Ninja and Make read them.
set(depfile "")
foreach(path ${vornak_output} ${inputs})
    string(REPLACE "$" "$$" path "${path}")
    string(REPLACE "#" "\\#" path "${path}")
    string(REPLACE " " "\\ " path "${path}")
    if(depfile STREQUAL "")
        set(depfile "${path}:")
    else()
        string(APPEND depfile " \\\n  ${path}")
    endif()
endforeach()
file(WRITE ${vornak_work}/inputs.d "${depfile}\n")
