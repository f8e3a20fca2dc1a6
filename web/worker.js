'use strict';
// The patcher's worker. It holds the browser objects the module reads and
// writes through (platform/web/library.js): the picked image and the output,
// a file in the origin's private storage. Where the browser has sync access
// handles, the output is written through one, and the image is first copied
// into the storage and read from there: a stored file serves the patch's
// scattered reads in microseconds, a picked File in milliseconds each.
// Elsewhere the image is read straight from the File, and the output goes
// through a writable stream, whose writes are waited for between two windows
// of the patch. Everything the patch does is the module's; this only
// connects it to the browser and to the page.

importScripts('resources.js');

// The module's answers (web/patcher.cpp).
const WEB_PATCHED = 0;
const WEB_FAILED = 2;
const WEB_WINDOW_DONE = 5;
const WEB_DECODED = 6;

// A window copies from a segment of the image that its header names; one
// that fits these slices is read in them, front to back as the patch moves
// on, and its reads are served from memory. Each read of a File costs
// milliseconds, however short.
const SLICE_BYTES = 8 << 20;
const CACHED_SLICES = 7;
const COPY_BUFFER_BYTES = 32 << 20;
// Stored files of this page start with this; a file left by a closed tab is
// removed on the next visit (page.js).
const STORED_PREFIX = 'parche-veltrane-';

const state = {
    picked: null,       // the player's File
    copy: null,         // {name, access}: the picked image copied into the storage
    syncHandles: false, // the storage gives sync access handles
    slices: new Map(),  // slice number -> its bytes, of the picked File
    target: null,       // the output: {name, handle, access} or {name, handle, writable, ...}
    open: [],           // the module's open files by id
    lines: [],          // what the module printed since the last message
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

function readPicked(reader, position, end) {
    return new Uint8Array(reader.readAsArrayBuffer(state.picked.slice(position, end)));
}

// Makes the slices over [offset, offset + length) of the picked File the
// ones held, reading those not yet held; a longer range is left to exact reads.
function adviseSlices(reader, offset, length) {
    const first = Math.floor(offset / SLICE_BYTES);
    const last = Math.floor((offset + length - 1) / SLICE_BYTES);
    if (length <= 0 || last - first + 1 > CACHED_SLICES) {
        return;
    }
    for (const number of state.slices.keys()) {
        if (number < first || number > last) {
            state.slices.delete(number);
        }
    }
    for (let number = first; number <= last; ++number) {
        const start = number * SLICE_BYTES;
        if (!state.slices.has(number) && start < state.picked.size) {
            state.slices.set(number, readPicked(reader, start,
                                                Math.min(start + SLICE_BYTES, state.picked.size)));
        }
    }
}

// Copies [position, position + view.length) from the held slices; false when
// some of it is not held.
function readSlices(position, view) {
    let done = 0;
    while (done < view.length) {
        const at = position + done;
        const slice = state.slices.get(Math.floor(at / SLICE_BYTES));
        const offset = at % SLICE_BYTES;
        if (!slice || offset >= slice.length) {
            return false;
        }
        const count = Math.min(view.length - done, slice.length - offset);
        view.set(slice.subarray(offset, offset + count), done);
        done += count;
    }
    return true;
}

function readSource(entry, position, view) {
    const end = Math.min(position + view.length, state.picked.size);
    if (end <= position) {
        return 0;
    }
    const wanted = view.subarray(0, end - position);
    if (!readSlices(position, wanted)) {
        wanted.set(readPicked(entry.reader, position, end));
    }
    return wanted.length;
}

// A write to a writable stream waits in memory until the module returns
// between two windows (landWrites); consecutive writes make one run.
function holdWrite(target, position, view) {
    const last = target.runs[target.runs.length - 1];
    if (last && last.position + last.length === position) {
        last.pieces.push(view.slice());
        last.length += view.length;
    } else {
        target.runs.push({position, length: view.length, pieces: [ view.slice() ]});
    }
    target.size = Math.max(target.size, position + view.length);
    return view.length;
}

// Writes what the module wrote to a writable stream since the last time;
// false when the storage refused it.
async function landWrites() {
    const target = state.target;
    if (!target || !target.writable) {
        return !state.storageFull;
    }
    const runs = target.runs;
    target.runs = [];
    try {
        for (const run of runs) {
            await target.writable.write(
                {type: 'write', position: run.position, data: new Blob(run.pieces)});
        }
        return true;
    } catch (error) {
        state.storageFull = state.storageFull || quotaError(error);
        return false;
    }
}

var Module = {
    print: (line) => state.lines.push(line),
    printErr: () => {},
    locateFile: (path) => path,
    webResources: {},
    webFiles: {
        open(name, writable) {
            let entry = null;
            if (name === 'source' && state.picked && !writable) {
                entry = {source: true, copy: state.copy, reader: new FileReaderSync()};
            } else if (name === 'target' && state.target) {
                entry = {target: state.target, reader: new FileReaderSync()};
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
                if (entry.source) {
                    return entry.copy ? entry.copy.access.getSize() : state.picked.size;
                }
                return entry.target.access ? entry.target.access.getSize() : entry.target.size;
            } catch (error) {
                return -1;
            }
        },
        read(id, position, view) {
            const entry = state.open[id];
            try {
                if (entry.copy) {
                    return entry.copy.access.read(view, {at: position});
                }
                if (entry.source) {
                    return readSource(entry, position, view);
                }
                const target = entry.target;
                if (target.access) {
                    return target.access.read(view, {at: position});
                }
                // The stream's file as it stood when the patch was closed:
                // the movie rewrite reads each movie before writing it back.
                const end = Math.min(position + view.length, target.file ? target.file.size : 0);
                if (end <= position) {
                    return 0;
                }
                view.set(new Uint8Array(
                    entry.reader.readAsArrayBuffer(target.file.slice(position, end))));
                return end - position;
            } catch (error) {
                return -1;
            }
        },
        write(id, position, view) {
            const target = state.open[id].target;
            if (!target.access) {
                return holdWrite(target, position, view);
            }
            try {
                const written = target.access.write(view, {at: position});
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
            const target = state.open[id].target;
            try {
                if (target.access) {
                    target.access.flush();
                }
                return 0;
            } catch (error) {
                return -1;
            }
        },
        close(id) {
            state.open[id] = null;
        },
        advise(id, offset, length) {
            const entry = state.open[id];
            if (entry && entry.source && !entry.copy) {
                adviseSlices(entry.reader, offset, length);
            }
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
        // Nothing of that name.
    }
}

// Why the storage refused the output, as the page names it: 'private' (no
// private storage in this window), 'quota' or 'unsupported' (no way to write
// a file); null for a refusal the page has no words for.
function refusalOf(error) {
    if (quotaError(error)) {
        return 'quota';
    }
    if (error && (error.name === 'NotSupportedError' || error.name === 'TypeError')) {
        return 'unsupported';
    }
    return error && (error.name === 'SecurityError' || error.name === 'UnknownError' ||
                     error.name === 'NotAllowedError') ? 'private' : null;
}

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

// A stored file, empty, through a sync access handle.
async function createCopy(name) {
    const root = await navigator.storage.getDirectory();
    const handle = await root.getFileHandle(name, {create: true});
    state.copy = {name, access: await handle.createSyncAccessHandle()};
    state.copy.access.truncate(0);
}

// The output, empty: through a sync access handle, or else a writable stream.
async function createTarget(name) {
    const root = await navigator.storage.getDirectory();
    const handle = await root.getFileHandle(name, {create: true});
    const target = {name, handle};
    state.target = target;
    // The probe at start-up tells whether sync handles work: WebKit, once it
    // has refused one on a file, refuses that file a writable stream too.
    if (state.syncHandles) {
        target.access = await handle.createSyncAccessHandle();
        target.access.truncate(0);
        return;
    }
    if (!('createWritable' in handle)) {
        throw new DOMException('no way to write a stored file', 'NotSupportedError');
    }
    target.writable = await handle.createWritable();
    target.runs = [];
    target.size = 0;
}

// The movie rewrite reads the image back: a writable stream's file can be
// read only once the stream is closed, and is then written through a new
// one that keeps what is there.
async function reopenTarget() {
    const target = state.target;
    if (!target.writable) {
        return true;
    }
    try {
        await target.writable.close();
        target.writable = null;
        target.file = await target.handle.getFile();
        target.writable = await target.handle.createWritable({keepExistingData: true});
        return true;
    } catch (error) {
        state.storageFull = state.storageFull || quotaError(error);
        return false;
    }
}

// Closes the output; true when all of it was stored.
async function closeTarget(keep) {
    const target = state.target;
    if (!target) {
        return true;
    }
    const {access, writable} = target;
    target.access = null;
    target.writable = null;
    try {
        if (access) {
            access.close();
        } else if (writable) {
            await (keep ? writable.close() : writable.abort());
        }
        return true;
    } catch (error) {
        state.storageFull = state.storageFull || quotaError(error);
        return false;
    }
}

// The patch with the module's own driver, a window at a time: between two
// windows the writes of the last one land.
async function runPatch(shown) {
    const source = moduleString(state.picked.name);
    let outcome = Module._web_patch_start(source);
    Module._free(source);
    while (outcome === WEB_WINDOW_DONE) {
        outcome = (await landWrites()) ? Module._web_patch_step() : Module._web_patch_abandon();
    }
    if (outcome !== WEB_DECODED) {
        return outcome;
    }
    if (!(await landWrites()) || !(await reopenTarget())) {
        return Module._web_patch_abandon();
    }
    const output = moduleString(shown);
    outcome = Module._web_redub(output);
    Module._free(output);
    if (outcome === WEB_PATCHED && !(await landWrites())) {
        return Module._web_patch_abandon();
    }
    return outcome;
}

async function identify(file) {
    await moduleReady;
    state.picked = file;
    state.slices.clear();
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

// Patches the picked image into the stored file of that name, which the
// page holds a lock on from before it exists until it is no longer wanted.
async function patch(name, copyName) {
    await moduleReady;
    const damaged = await loadResources();
    if (damaged) {
        postMessage({type: 'damaged', file: damaged});
        return;
    }
    const output = outputName(state.picked.name);
    state.storageFull = false;
    let outcome = WEB_FAILED;
    let refusal = null;
    let opened = false;
    try {
        if (state.syncHandles) {
            await createCopy(copyName);
            await copyPicked(state.copy);
        }
        await createTarget(name);
        opened = true;
    } catch (error) {
        refusal = refusalOf(error);
        if (!refusal) {
            // Not the storage: the image could not be read whole.
            outcome = Module._web_patch_abandon();
        }
    }
    if (opened) {
        outcome = await runPatch(output);
        if (!(await closeTarget(outcome === WEB_PATCHED)) && outcome === WEB_PATCHED) {
            outcome = Module._web_patch_abandon();
        }
    }
    const text = takeText();
    if (state.copy) {
        state.copy.access.close();
        state.copy = null;
    }
    await removeStored(copyName);
    if (outcome !== WEB_PATCHED) {
        await closeTarget(false);
        await removeStored(name);
    }
    state.target = null;
    state.open = [];
    state.slices.clear();
    postMessage({
        type: 'finished',
        outcome,
        stored: outcome === WEB_PATCHED ? name : null,
        outputName: output,
        refusal: refusal || (state.storageFull ? 'quota' : null),
        text,
        memory: HEAPU8.length,
    });
}

onmessage = (event) => {
    const message = event.data;
    if (message.type === 'identify') {
        identify(message.file);
    } else if (message.type === 'patch') {
        patch(message.name, message.copyName);
    }
};

// Whether the storage gives sync access handles (some browsers have the
// call but refuse it), tried on a file of its own.
async function trySyncHandles() {
    const name = STORED_PREFIX + 'probe-' + Date.now() + '-' + Math.random().toString(36).slice(2);
    let works = false;
    try {
        const root = await navigator.storage.getDirectory();
        const handle = await root.getFileHandle(name, {create: true});
        (await handle.createSyncAccessHandle()).close();
        works = true;
    } catch (error) {
        // Refused: the patch writes through writable streams.
    }
    await removeStored(name);
    return works;
}

// What the page can count on, told before the player picks anything: a way
// to write a stored file, a private storage this window may use at all
// (private browsing refuses it), and whether the patch copies the image.
async function tellReady() {
    const handles = typeof FileSystemFileHandle !== 'undefined' ? FileSystemFileHandle.prototype
                                                                : {};
    const writes = 'createSyncAccessHandle' in handles || 'createWritable' in handles;
    let storage = !!navigator.storage && typeof navigator.storage.getDirectory === 'function';
    if (storage) {
        try {
            await navigator.storage.getDirectory();
        } catch (error) {
            postMessage({type: 'ready', supported: true, privateRefused: true});
            return;
        }
    }
    state.syncHandles = storage && (await trySyncHandles());
    postMessage({
        type: 'ready',
        supported: writes && storage && typeof FileReaderSync !== 'undefined',
        privateRefused: false,
        copies: state.syncHandles,
    });
}

tellReady();
