# The Windows install tree is a portable folder: the program at the top, with
# every library and plugin it loads beside it, so it runs wherever it is
# unpacked and needs nothing installed. CPack zips that folder.

install(TARGETS image-viewer image-viewer-decodeur RUNTIME DESTINATION .)

# Installs libraries into `destination`: the files given as FILES (paths,
# generator expressions allowed) and the targets' files as TARGETS. An
# install that strips (cpack, cmake --install --strip) strips them too, with
# the tool chain's strip: the MinGW run time carries its debugging sections
# (libstdc++ alone is 21 MB of them). The build tree, the Qt prefix and the
# compiler keep the unstripped ones for debugging.
function(viewer_install_libraries destination)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "FILES;TARGETS")
    set(files ${arg_FILES})
    set(names)
    foreach(file IN LISTS arg_FILES)
        get_filename_component(name "${file}" NAME)
        list(APPEND names "${name}")
    endforeach()
    foreach(target IN LISTS arg_TARGETS)
        list(APPEND files "$<TARGET_FILE:${target}>")
        list(APPEND names "$<TARGET_FILE_NAME:${target}>")
    endforeach()
    install(FILES ${files} DESTINATION ${destination})
    if(MINGW AND CMAKE_STRIP)
        foreach(name IN LISTS names)
            install(CODE "
                if(CMAKE_INSTALL_DO_STRIP)
                    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/${name}\"
                        RESULT_VARIABLE stripped)
                    if(NOT stripped EQUAL 0)
                        message(FATAL_ERROR \"could not strip ${name}\")
                    endif()
                endif()")
        endforeach()
    endif()
endfunction()

viewer_install_libraries(. TARGETS
    ${IMAGE_VIEWER_QT}::Core ${IMAGE_VIEWER_QT}::Gui ${IMAGE_VIEWER_QT}::Widgets)

# Plugins Qt loads at run time, each in the folder it looks in: the window
# system, and the decoding helper's, which needs no display; the picture
# formats Qt Gui does not read itself; the native look.
viewer_install_libraries(platforms TARGETS
    ${IMAGE_VIEWER_QT}::QWindowsIntegrationPlugin ${IMAGE_VIEWER_QT}::QMinimalIntegrationPlugin)
# Qt's extra readers and Qt SVG come where this Qt has them, as the Qt that
# scripts/windows builds does.
set(readers QJpegPlugin QGifPlugin QICOPlugin)
foreach(reader QWebpPlugin QTiffPlugin QTgaPlugin QICNSPlugin QWbmpPlugin)
    if(TARGET ${IMAGE_VIEWER_QT}::${reader})
        list(APPEND readers ${reader})
    else()
        message(WARNING "This Qt has no ${reader}: the Windows packages will lack it.")
    endif()
endforeach()
find_package(${IMAGE_VIEWER_QT} QUIET COMPONENTS Svg)
if(TARGET ${IMAGE_VIEWER_QT}::Svg AND TARGET ${IMAGE_VIEWER_QT}::QSvgPlugin)
    list(APPEND readers QSvgPlugin)
    viewer_install_libraries(. TARGETS ${IMAGE_VIEWER_QT}::Svg)
else()
    message(WARNING "This Qt has no Qt SVG: the Windows packages will read no SVG.")
endif()
list(TRANSFORM readers PREPEND ${IMAGE_VIEWER_QT}::)
viewer_install_libraries(imageformats TARGETS ${readers})

# Little CMS, which the helper converts colours with, as a DLL beside it.
get_filename_component(lcms2_prefix "${IMAGE_VIEWER_LCMS2_INCLUDE_DIR}/.." ABSOLUTE)
find_file(IMAGE_VIEWER_LCMS2_DLL liblcms2-2.dll PATHS "${lcms2_prefix}/bin" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(IMAGE_VIEWER_LCMS2_DLL)
    viewer_install_libraries(. FILES "${IMAGE_VIEWER_LCMS2_DLL}")
else()
    message(WARNING "No liblcms2-2.dll beside ${IMAGE_VIEWER_LCMS2_INCLUDE_DIR}: the helper will not start.")
endif()
viewer_install_libraries(styles TARGETS ${IMAGE_VIEWER_QT}::QWindowsVistaStylePlugin)

# Its licence, and the licences and notices of everything it ships with it,
# as the sources they were built from have them: see data/windows/NOTICES.txt.
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES data/windows/NOTICES.txt DESTINATION notices RENAME README.txt)

# Qt's: from the folder scripts/windows keeps in the MinGW Qt it builds, or
# IMAGE_VIEWER_QT_NOTICES for any other Qt. What goes into Qt Core, Gui and
# Widgets and the plugins shipped on Windows is taken; what does not (other
# platforms, OpenGL, D-Bus, the test library) is left.
get_filename_component(qt_prefix "${${IMAGE_VIEWER_QT}Core_DIR}/../../.." ABSOLUTE)
set(IMAGE_VIEWER_QT_NOTICES "${qt_prefix}/licenses/qtbase" CACHE PATH
    "Qt's licence files, as scripts/windows keeps them: LICENSE.LGPL3, SOURCE, src/3rdparty/...")
if(EXISTS "${IMAGE_VIEWER_QT_NOTICES}/SOURCE")
    foreach(pair LICENSE.LGPL3:LGPL-3.0 LICENSE.GPL3:GPL-3.0 SOURCE:SOURCE debian-copyright:copyright)
        string(REPLACE ":" ";" pair "${pair}")
        list(GET pair 0 file)
        list(GET pair 1 name)
        install(FILES "${IMAGE_VIEWER_QT_NOTICES}/${file}" DESTINATION notices/Qt RENAME ${name}.txt)
    endforeach()
    foreach(part double-conversion easing freebsd freetype harfbuzz-ng icc libjpeg libpng
                 md4 md4c md5 pcre2 rfc6234 sha1 sha3 tinycbor zlib)
        install(DIRECTORY "${IMAGE_VIEWER_QT_NOTICES}/src/3rdparty/${part}" DESTINATION notices/Qt/3rdparty)
    endforeach()
    foreach(part corelib/codecs corelib/io corelib/kernel corelib/text gui/painting gui/text)
        get_filename_component(module ${part} DIRECTORY)
        install(DIRECTORY "${IMAGE_VIEWER_QT_NOTICES}/src/${part}" DESTINATION notices/Qt/${module})
    endforeach()
    # The modules built beside it: where their source comes from, and the
    # code they bundle (libwebp, libtiff; Qt SVG's XSVG part).
    foreach(module qtimageformats qtsvg)
        set(notices "${IMAGE_VIEWER_QT_NOTICES}/../${module}")
        if(EXISTS "${notices}/SOURCE")
            install(FILES "${notices}/SOURCE" DESTINATION notices/Qt/${module} RENAME SOURCE.txt)
            install(FILES "${notices}/debian-copyright" DESTINATION notices/Qt/${module} RENAME copyright.txt)
            install(DIRECTORY "${notices}/src/" DESTINATION notices/Qt/${module})
        endif()
    endforeach()
    # Little CMS, kept beside them: its licence, source and Debian copyright.
    set(notices "${IMAGE_VIEWER_QT_NOTICES}/../lcms2")
    if(EXISTS "${notices}/SOURCE")
        foreach(pair COPYING:COPYING SOURCE:SOURCE debian-copyright:copyright)
            string(REPLACE ":" ";" pair "${pair}")
            list(GET pair 0 file)
            list(GET pair 1 name)
            install(FILES "${notices}/${file}" DESTINATION notices/LittleCMS RENAME ${name}.txt)
        endforeach()
    endif()
else()
    message(WARNING "No licence notices for Qt in ${IMAGE_VIEWER_QT_NOTICES}: the Windows packages "
        "will lack them. Set IMAGE_VIEWER_QT_NOTICES to the folder holding Qt's licence files.")
endif()

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
                viewer_install_libraries(. FILES "${candidate}")
                break()
            endif()
        endforeach()
    endforeach()
    # Their notices, as the tool chain file names them (a name each).
    foreach(notice IN LISTS IMAGE_VIEWER_RUNTIME_NOTICES)
        string(REPLACE "=" ";" notice "${notice}")
        list(GET notice 0 name)
        list(GET notice 1 file)
        install(FILES "${file}" DESTINATION notices/MinGW RENAME ${name}.txt)
    endforeach()
    if(NOT IMAGE_VIEWER_RUNTIME_NOTICES)
        message(WARNING "No licence notices for the MinGW run time: set IMAGE_VIEWER_RUNTIME_NOTICES "
            "to name=file pairs, as cmake/i686-w64-mingw32.cmake does.")
    endif()
else()
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
endif()
