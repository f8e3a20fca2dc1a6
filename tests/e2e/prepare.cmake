# Makes the full-size synthetic Japanese image once for the full-scale tests:
#   cmake -DKIT=<make-demo-kit> -DIMAGE=<path> -P prepare.cmake
get_filename_component(folder ${IMAGE} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
if(EXISTS ${IMAGE})
    file(SIZE ${IMAGE} size)
    if(size EQUAL 1455587328 AND ${IMAGE} IS_NEWER_THAN ${KIT})
        return()
    endif()
endif()
execute_process(COMMAND ${KIT} --image ${IMAGE} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "make-demo-kit --image failed: ${result}")
endif()
