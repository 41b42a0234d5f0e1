# The Windows install tree is a portable folder: the program at the top, with
# every library and plugin it loads beside it, so it runs wherever it is
# unpacked and needs nothing installed. CPack zips that folder.

install(TARGETS image-viewer RUNTIME DESTINATION .)

install(FILES
    $<TARGET_FILE:${IMAGE_VIEWER_QT}::Core>
    $<TARGET_FILE:${IMAGE_VIEWER_QT}::Gui>
    $<TARGET_FILE:${IMAGE_VIEWER_QT}::Widgets>
    DESTINATION .)

# Plugins Qt loads at run time, each in the folder it looks in: the window
# system, the picture formats Qt Gui does not read itself, the native look.
install(FILES $<TARGET_FILE:${IMAGE_VIEWER_QT}::QWindowsIntegrationPlugin>
    DESTINATION platforms)
install(FILES
    $<TARGET_FILE:${IMAGE_VIEWER_QT}::QJpegPlugin>
    $<TARGET_FILE:${IMAGE_VIEWER_QT}::QGifPlugin>
    $<TARGET_FILE:${IMAGE_VIEWER_QT}::QICOPlugin>
    DESTINATION imageformats)
install(FILES $<TARGET_FILE:${IMAGE_VIEWER_QT}::QWindowsVistaStylePlugin>
    DESTINATION styles)

# The compiler's own run time. MinGW keeps its DLLs where the compiler finds
# its libraries (Debian's cross compilers) or beside the compiler (Windows
# kits); the exception model names the libgcc one.
if(MINGW)
    get_filename_component(compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
    foreach(dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libgcc_s_sjlj-1.dll libstdc++-6.dll libwinpthread-1.dll)
        execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
            OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        foreach(candidate "${found}" "${compiler_dir}/${dll}")
            if(IS_ABSOLUTE "${candidate}" AND EXISTS "${candidate}")
                install(FILES "${candidate}" DESTINATION .)
                break()
            endif()
        endforeach()
    endforeach()
else()
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
endif()
