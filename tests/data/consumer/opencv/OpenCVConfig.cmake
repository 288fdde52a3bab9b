# Stands in for OpenCV's package file: like the export file OpenCV installs, it creates the plain
# imported targets opencv_core and opencv_imgproc, which fails when a target of that name exists.
find_path(OpenCV_INCLUDE_DIRS opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
foreach(module core imgproc)
  find_library(OpenCV_${module}_LIBRARY opencv_${module} REQUIRED)
  add_library(opencv_${module} SHARED IMPORTED)
  set_target_properties(opencv_${module} PROPERTIES IMPORTED_LOCATION ${OpenCV_${module}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${OpenCV_INCLUDE_DIRS})
endforeach()
set(OpenCV_LIBS opencv_core opencv_imgproc)
