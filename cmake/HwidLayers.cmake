# Each layer's headers are reached as "<folder>/name.h" through an include
# folder of its own in the build tree, which holds only a link to that layer's
# source folder. A target therefore sees the headers of the layers it links and
# no others: a probe that includes a back-end header does not compile.
#
# hwid_layer_headers(TARGET FOLDER): FOLDER is relative to src/, e.g.
# "platform" or "crypto".
function(hwid_layer_headers target folder)
    set(view "${PROJECT_BINARY_DIR}/layers/${target}")
    file(MAKE_DIRECTORY "${view}")
    if(NOT EXISTS "${view}/${folder}")
        file(CREATE_LINK "${PROJECT_SOURCE_DIR}/src/${folder}" "${view}/${folder}" SYMBOLIC)
    endif()
    target_include_directories(${target} PUBLIC "$<BUILD_INTERFACE:${view}>")
endfunction()
