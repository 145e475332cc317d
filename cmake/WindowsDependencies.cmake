# Third-party code of the Windows build. The system's own libraries replace
# OpenSSL and libcurl; the header-only libraries and the Firebird interface
# headers come from the build machine's packages, GoogleTest from its sources.
set(DC_HOST_INCLUDE ${PROJECT_BINARY_DIR}/host-include)
# Only these folders and files of the build machine's headers are seen, never its C library's.
foreach(folder nlohmann firebird ibase.h iberror.h)
  if(EXISTS /usr/include/${folder} AND NOT EXISTS ${DC_HOST_INCLUDE}/${folder})
    file(MAKE_DIRECTORY ${DC_HOST_INCLUDE})
    file(CREATE_LINK /usr/include/${folder} ${DC_HOST_INCLUDE}/${folder} SYMBOLIC)
  endif()
endforeach()

add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${DC_HOST_INCLUDE})
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

add_library(firebird_headers INTERFACE)
target_include_directories(firebird_headers SYSTEM INTERFACE ${DC_HOST_INCLUDE})
enable_language(RC)
