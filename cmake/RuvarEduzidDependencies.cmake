# What the public headers and the link interfaces of libRuvarEduzid and libHalvoraCommon need, as
# imported targets with names of their own:
#   PkgConfig::RuvarEduzid_FFmpeg   libavformat, libavcodec, libavutil, libswscale
#   PkgConfig::RuvarEduzid_JsonCpp  jsoncpp (Common/Json.h)
#   PkgConfig::RuvarEduzid_NvCodec  the NVENC/CUDA interface headers (NvVideoWriter.h)
#   RuvarEduzid::OpenCVCore         OpenCV core (Orvi/Yuv420PImage.h; Debian ships no CMake file for it)
#   Boost::headers
# Read by the project's own build and by the installed package. The lookups run inside a
# function, so the variables of the including project stay as they were; the cache entries they
# leave carry the RuvarEduzid prefix (besides pkg-config's own PKG_CONFIG_EXECUTABLE and Boost_DIR).
# Sets `result` to an empty text on success, to the reason otherwise.
function(ruvareduzid_find_dependencies result)
  set(missing "")
  find_package(PkgConfig QUIET)
  if(NOT PKG_CONFIG_FOUND)
    set(${result} "pkg-config not found" PARENT_SCOPE)
    return()
  endif()
  pkg_check_modules(RuvarEduzid_FFmpeg QUIET IMPORTED_TARGET libavformat libavcodec libavutil libswscale)
  pkg_check_modules(RuvarEduzid_JsonCpp QUIET IMPORTED_TARGET jsoncpp)
  pkg_check_modules(RuvarEduzid_NvCodec QUIET IMPORTED_TARGET ffnvcodec)
  foreach(module FFmpeg JsonCpp NvCodec)
    if(NOT RuvarEduzid_${module}_FOUND)
      string(APPEND missing " ${module}")
    endif()
  endforeach()

  find_path(RuvarEduzid_OpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
  find_library(RuvarEduzid_OpenCV_core_LIBRARY opencv_core)
  if(RuvarEduzid_OpenCV_INCLUDE_DIR AND RuvarEduzid_OpenCV_core_LIBRARY)
    if(NOT TARGET RuvarEduzid::OpenCVCore)
      add_library(RuvarEduzid::OpenCVCore UNKNOWN IMPORTED)
      set_target_properties(RuvarEduzid::OpenCVCore PROPERTIES IMPORTED_LOCATION "${RuvarEduzid_OpenCV_core_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${RuvarEduzid_OpenCV_INCLUDE_DIR}")
    endif()
  else()
    string(APPEND missing " opencv_core")
  endif()

  if(NOT TARGET Boost::headers)
    find_package(Boost CONFIG QUIET)
  endif()
  if(NOT TARGET Boost::headers)
    string(APPEND missing " Boost")
  endif()

  if(missing)
    set(${result} "missing:${missing}" PARENT_SCOPE)
  else()
    set(${result} "" PARENT_SCOPE)
  endif()
endfunction()
