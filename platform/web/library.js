// The module's way out to the page's worker (web/worker.js), which holds the
// browser objects: Module.webFiles for the files, Module.webResources for
// the fetched patch and soundtracks, Module.webReport for the progress.
mergeInto(LibraryManager.library, {
    web_file_open : function(name, writable) {
        return Module.webFiles.open(UTF8ToString(name), writable !== 0);
    },
    web_file_size : function(id) {
        return Module.webFiles.size(id);
    },
    web_file_read : function(id, position, buffer, count) {
        buffer >>>= 0;
        return Module.webFiles.read(id, position, HEAPU8.subarray(buffer, buffer + count));
    },
    web_file_write : function(id, position, buffer, count) {
        buffer >>>= 0;
        return Module.webFiles.write(id, position, HEAPU8.subarray(buffer, buffer + count));
    },
    web_file_flush : function(id) {
        return Module.webFiles.flush(id);
    },
    web_file_close : function(id) {
        Module.webFiles.close(id);
    },
    web_file_advise : function(id, offset, length) {
        Module.webFiles.advise(id, offset, length);
    },
    web_find_resource : function(name, data, size) {
        var resource = Module.webResources[UTF8ToString(name)];
        if (!resource) {
            return 0;
        }
        HEAPU32[data >> 2] = resource.pointer;
        HEAPU32[size >> 2] = resource.size;
        return 1;
    },
    web_report_progress : function(written, total) {
        Module.webReport.progress(written, total);
    },
    web_report_redub : function() {
        Module.webReport.redub();
    },
});
