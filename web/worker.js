'use strict';
// The patcher's worker. It holds the browser objects the module reads and
// writes through (platform/web/library.js): the picked image, identified
// straight from the File and patched from a copy of it in the origin's
// private storage, and the output, a file there too. Both stored files are
// read and written through sync access handles. Everything the patch does is
// the module's; this only connects it to the browser and to the page.

importScripts('resources.js');

// Stored files of this page start with this; a file left by a closed tab is
// removed on the next visit (page.js).
const STORED_PREFIX = 'parche-veltrane-';
const COPY_BUFFER_BYTES = 32 << 20;

const state = {
    picked: null, // the player's File
    copy: null,   // {name, access}: the picked image copied into the storage
    target: null, // {name, access}: the output and its sync access handle
    open: [],     // the module's open files by id
    lines: [],    // what the module printed since the last message
    storageFull: false,
};

function takeText() {
    const text = state.lines.join('\n');
    state.lines = [];
    return text;
}

function quotaError(error) {
    // Chromium throws QuotaExceededError; Firefox NS_ERROR_FILE_NO_DEVICE_SPACE.
    return error && (error.name === 'QuotaExceededError' || /SPACE|QUOTA/i.test(String(error)));
}

var Module = {
    print: (line) => state.lines.push(line),
    printErr: () => {},
    locateFile: (path) => path,
    webResources: {},
    webFiles: {
        open(name, writable) {
            let entry = null;
            if (name === 'source' && state.copy && !writable) {
                entry = {access: state.copy.access};
            } else if (name === 'source' && state.picked && !writable) {
                entry = {file: state.picked, reader: new FileReaderSync()};
            } else if (name === 'target' && state.target) {
                entry = {access: state.target.access};
            }
            if (!entry) {
                return -1;
            }
            state.open.push(entry);
            return state.open.length - 1;
        },
        size(id) {
            const entry = state.open[id];
            try {
                return entry.file ? entry.file.size : entry.access.getSize();
            } catch (error) {
                return -1;
            }
        },
        read(id, position, view) {
            const entry = state.open[id];
            try {
                if (entry.access) {
                    return entry.access.read(view, {at: position});
                }
                const end = Math.min(position + view.length, entry.file.size);
                if (end <= position) {
                    return 0;
                }
                const bytes = entry.reader.readAsArrayBuffer(entry.file.slice(position, end));
                view.set(new Uint8Array(bytes));
                return bytes.byteLength;
            } catch (error) {
                return -1;
            }
        },
        write(id, position, view) {
            try {
                const written = state.open[id].access.write(view, {at: position});
                // Firefox's quota shows as a write of nothing, without an exception.
                if (written < view.length) {
                    state.storageFull = true;
                }
                return written;
            } catch (error) {
                state.storageFull = state.storageFull || quotaError(error);
                return -1;
            }
        },
        flush(id) {
            try {
                state.open[id].access.flush();
                return 0;
            } catch (error) {
                return -1;
            }
        },
        close(id) {
            state.open[id] = null;
        },
    },
    webReport: {
        progress(written, total) {
            postMessage({type: 'progress', written, total});
        },
        redub() {
            postMessage({type: 'redub'});
        },
    },
};

const moduleReady = new Promise((resolve) => { Module.onRuntimeInitialized = resolve; });
importScripts('parche-veltrane-web.js');

// A string in the module's memory; the caller frees it.
function moduleString(text) {
    const size = lengthBytesUTF8(text) + 1;
    const pointer = Module._malloc(size);
    stringToUTF8(text, pointer, size);
    return pointer;
}

function outputName(name) {
    const source = moduleString(name);
    const capacity = lengthBytesUTF8(name) + 32;
    const output = Module._malloc(capacity);
    const fits = Module._web_output_name(source, output, capacity);
    const result = fits ? UTF8ToString(output) : 'Veltrane_patched.iso';
    Module._free(source);
    Module._free(output);
    return result;
}

async function sha256(bytes) {
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
    return Array.from(digest, (byte) => byte.toString(16).padStart(2, '0')).join('');
}

// Fetches the three files beside the module into its memory, each checked
// against the SHA-256 the build fixed. Null, or the name of the file that did
// not arrive whole.
async function loadResources() {
    for (const resource of RESOURCES) {
        if (Module.webResources[resource.name]) {
            continue;
        }
        let bytes = null;
        try {
            const response = await fetch(resource.file, {cache: 'no-store'});
            bytes = response.ok ? await response.arrayBuffer() : null;
        } catch (error) {
            bytes = null;
        }
        if (!bytes || bytes.byteLength !== resource.size ||
            (await sha256(bytes)) !== resource.sha256) {
            return resource.file;
        }
        const pointer = Module._malloc(bytes.byteLength);
        if (!pointer) {
            return resource.file;
        }
        HEAPU8.set(new Uint8Array(bytes), pointer);
        Module.webResources[resource.name] = {pointer, size: bytes.byteLength};
    }
    return null;
}

async function removeStored(name) {
    try {
        const root = await navigator.storage.getDirectory();
        await root.removeEntry(name);
    } catch (error) {
        // Nothing of that name, or a file another tab still writes.
    }
}

function closeStored(stored) {
    if (stored) {
        try {
            stored.access.close();
        } catch (error) {
            // Already closed.
        }
    }
}

async function createStored(suffix) {
    const name = STORED_PREFIX + Date.now() + suffix;
    const root = await navigator.storage.getDirectory();
    const handle = await root.getFileHandle(name, {create: true});
    const access = await handle.createSyncAccessHandle();
    access.truncate(0);
    return {name, access};
}

// Copies the picked image into the storage, through one buffer that the
// reader fills again and again, so that the copy takes no more memory than
// that buffer. A full quota throws.
async function copyPicked(copy) {
    const file = state.picked;
    const stream = file.stream();
    let reader = null;
    try {
        reader = stream.getReader({mode: 'byob'});
    } catch (error) {
        reader = null; // a browser without byte streams for files
    }
    let buffer = new ArrayBuffer(COPY_BUFFER_BYTES);
    let position = 0;
    let reported = 0;
    const plain = reader ? null : stream.getReader();
    for (;;) {
        const {value, done} =
            reader ? await reader.read(new Uint8Array(buffer)) : await plain.read();
        if (done) {
            break;
        }
        const written = copy.access.write(value, {at: position});
        if (written < value.length) {
            throw new DOMException('short write', 'QuotaExceededError');
        }
        position += written;
        if (reader) {
            buffer = value.buffer;
        }
        if (position - reported >= COPY_BUFFER_BYTES || position === file.size) {
            reported = position;
            postMessage({type: 'copying', done: position, total: file.size});
        }
    }
    if (position !== file.size) {
        throw new Error('the picked file changed while it was copied');
    }
}

async function identify(file) {
    await moduleReady;
    state.picked = file;
    const display = moduleString(file.name);
    const found = Module._web_identify(display) === 1;
    Module._free(display);
    postMessage({
        type: 'identified',
        found,
        text: takeText(),
        outputName: outputName(file.name),
        targetBytes: Module._web_target_bytes(),
    });
}

async function patch() {
    await moduleReady;
    const damaged = await loadResources();
    if (damaged) {
        postMessage({type: 'damaged', file: damaged});
        return;
    }
    const output = outputName(state.picked.name);
    let outcome = -1;
    let text = '';
    state.storageFull = false;
    try {
        state.copy = await createStored('.source');
        postMessage({type: 'started', stored: state.copy.name});
        await copyPicked(state.copy);
        state.target = await createStored('.iso');
        postMessage({type: 'started', stored: state.target.name, patching: true});
        const source = moduleString(state.picked.name);
        const shown = moduleString(output);
        outcome = Module._web_patch(source, shown);
        Module._free(source);
        Module._free(shown);
        text = takeText();
    } catch (error) {
        state.storageFull = state.storageFull || quotaError(error);
        Module._web_patch_not_started();
        text = takeText();
    }
    closeStored(state.copy);
    closeStored(state.target);
    if (state.copy) {
        await removeStored(state.copy.name);
    }
    const stored = outcome === 0 ? state.target.name : null;
    if (state.target && !stored) {
        await removeStored(state.target.name);
    }
    state.copy = null;
    state.target = null;
    postMessage({
        type: 'finished',
        outcome,
        stored,
        outputName: output,
        storageFull: state.storageFull,
        text,
        memory: HEAPU8.length,
    });
}

onmessage = (event) => {
    const message = event.data;
    if (message.type === 'identify') {
        identify(message.file);
    } else if (message.type === 'patch') {
        patch();
    }
};

// Sync access handles are what the patch writes through; a browser without
// them is told so before the player picks anything.
postMessage({
    type: 'ready',
    supported: typeof FileSystemFileHandle !== 'undefined' &&
                    'createSyncAccessHandle' in FileSystemFileHandle.prototype &&
                    typeof FileReaderSync !== 'undefined' && !!navigator.storage &&
                    typeof navigator.storage.getDirectory === 'function',
});
