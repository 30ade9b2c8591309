# Expat, built from its sources with the project's compiler: static, with
# UTF-16 names and values (wchar_t). The setup script fetches the sources
# outside the source tree.
set(LAUNCHER_EXPAT_SOURCE_DIR "/opt/quorval-deps/expat" CACHE PATH "Expat's source folder (scripts/setup.sh fetches it)")
if(NOT EXISTS "${LAUNCHER_EXPAT_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "Expat's sources are not in ${LAUNCHER_EXPAT_SOURCE_DIR}. "
                        "Run scripts/setup.sh once, or pass -DLAUNCHER_EXPAT_SOURCE_DIR=<folder>.")
endif()

set(EXPAT_CHAR_TYPE "wchar_t" CACHE STRING "" FORCE)
set(EXPAT_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_TOOLS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_EXAMPLES OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_DOCS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_PKGCONFIG OFF CACHE BOOL "" FORCE)
set(EXPAT_ENABLE_INSTALL OFF CACHE BOOL "" FORCE)
set(EXPAT_NS OFF CACHE BOOL "" FORCE)
add_subdirectory("${LAUNCHER_EXPAT_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/expat" EXCLUDE_FROM_ALL)

# Expat's own definitions are directory-scoped; its users need the same ones.
add_library(ExpatWide INTERFACE)
target_link_libraries(ExpatWide INTERFACE expat)
target_include_directories(ExpatWide SYSTEM INTERFACE "${LAUNCHER_EXPAT_SOURCE_DIR}/lib")
target_compile_definitions(ExpatWide INTERFACE XML_STATIC XML_UNICODE XML_UNICODE_WCHAR_T)
