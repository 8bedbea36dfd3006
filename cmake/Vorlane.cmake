# vorlane_module(NAME <Name> SOURCES ... [LIBS ...])
#   A run-time loaded component: <module dir>/<Name>.so (no "lib" prefix),
#   linked only against the platform layer (and the given private libraries).
function(vorlane_module)
    cmake_parse_arguments(M "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_library(${M_NAME} MODULE ${M_SOURCES})
    set_target_properties(${M_NAME} PROPERTIES
        PREFIX "" SUFFIX ".so" OUTPUT_NAME ${M_NAME}
        LIBRARY_OUTPUT_DIRECTORY ${VORLANE_MODULE_DIR}
        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
    target_link_libraries(${M_NAME} PRIVATE VorlanePlatform ${M_LIBS})
    if(NOT VORLANE_FUZZ)
        # clang does not link the sanitizer runtime into shared objects.
        target_link_options(${M_NAME} PRIVATE -Wl,--no-undefined)
    endif()
endfunction()

# Exported C functions of a module.
set(VORLANE_EXPORT "__attribute__((visibility(\"default\")))")

# vorlane_fuzzer(NAME <name>_fuzzer SOURCES ... [LIBS ...])
#   A libFuzzer target, built only with -DVORLANE_FUZZ=ON (clang); all of
#   them are collected by the target vorlane_fuzzers.
if(VORLANE_FUZZ AND NOT TARGET vorlane_fuzzers)
    add_custom_target(vorlane_fuzzers)
endif()
function(vorlane_fuzzer)
    if(NOT VORLANE_FUZZ)
        return()
    endif()
    cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${F_NAME} ${F_SOURCES})
    target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_include_directories(${F_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/common)
    target_link_libraries(${F_NAME} PRIVATE VorlanePlatform ${F_LIBS})
    set_target_properties(${F_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
    add_dependencies(vorlane_fuzzers ${F_NAME})
endfunction()
