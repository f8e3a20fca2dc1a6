'use strict';
// The page: picking the image, the storage check, progress, saving and the
// clean-up of the origin's private storage. The patch runs in worker.js.

// Stored files of this page start with this (worker.js).
const STORED_PREFIX = 'parche-veltrane-';

const UNSUPPORTED =
    'Este navegador no puede aplicar el parche: no deja a las páginas escribir archivos ' +
    'en su almacenamiento privado (Origin Private File System). Funciona en las versiones ' +
    'actuales de Chrome, Edge, Firefox y Safari, también en Android, iOS y ChromeOS.';
const PRIVATE =
    'Este navegador no deja a la página guardar archivos en esta ventana, como pasa en ' +
    'la navegación privada. Abre la página en una ventana normal y vuelve a intentarlo.';
const CANCELLED = 'Parche cancelado. No ha quedado nada guardado.';
const COPYING = 'Copiando la imagen al almacenamiento del navegador:';
const CANCELLED_LEFT = 'Parche cancelado. El navegador aún guarda la imagen a medio hacer; ' +
                       'se borrará la próxima vez que abras esta página.';
const REDUB = 'Doblando las películas de apertura…';
const SAVED_DOWNLOAD = 'La imagen se está descargando. Cuando la descarga termine, pulsa ' +
                       '«Liberar espacio» para borrar la copia que guarda el navegador.';
const SAVED_PICKER =
    'Imagen guardada. Pulsa «Liberar espacio» para borrar la copia que guarda el navegador.';
const FREED = 'Espacio liberado.';
const SAVE_FAILED = 'No se pudo guardar la imagen. Prueba otra vez o elige otra carpeta.';

function damagedText(file) {
    return `El archivo «${file}» de esta página no ha llegado entero (su SHA-256 no es ` +
           'el esperado). Tu imagen no tiene la culpa: recarga la página, y si vuelve a ' +
           'pasar, avisa a quien la publica.';
}

function gigabytes(bytes) {
    return (bytes / 1e9).toLocaleString('es', {maximumFractionDigits: 2}) + ' GB';
}

function noRoomText(needed, free) {
    return `No hay espacio suficiente: el parche necesita ${gigabytes(needed)} libres en el ` +
           `almacenamiento del navegador y solo hay ${gigabytes(Math.max(free, 0))}. ` +
           'Libera espacio en el dispositivo y vuelve a intentarlo.';
}

const page = {
    worker: null,
    busy: false,
    patching: null, // name of the stored file the patch writes
    releases: new Map(), // stored file name -> what lets go of its lock
    stored: null, // name of the finished image in the private storage
    outputName: '',
    targetBytes: 0,
    pickedBytes: 0,
    startTime: 0,
    text: '',
};

const element = (id) => document.getElementById(id);

function showText(text) {
    page.text = text.replace(/^\n+|\n+$/g, '');
    element('messages').textContent = page.text;
}

function notice(text) {
    element('notice').textContent = text;
}

function setBusy(busy) {
    page.busy = busy;
    element('image').disabled = busy;
    element('cancel').hidden = !busy;
}

async function storageRoot() {
    return navigator.storage.getDirectory();
}

// A file can stay locked for some seconds after the worker that wrote it was
// ended (seen in Chromium when the worker was busy writing): tried for 8 s.
async function removeStored(name) {
    for (let attempt = 0; attempt < 80; ++attempt) {
        try {
            const root = await storageRoot();
            await root.removeEntry(name);
            return true;
        } catch (error) {
            if (error.name === 'NotFoundError') {
                return true;
            }
            await new Promise((resolve) => setTimeout(resolve, 100));
        }
    }
    return false;
}

// Keeps other tabs of this page from taking the file for a leftover, from
// before the patch creates it until this tab no longer wants it. Resolves
// once the lock is held.
function holdStored(name) {
    if (!navigator.locks) {
        return Promise.resolve();
    }
    return new Promise((held) => {
        navigator.locks.request(name, () => new Promise((release) => {
            page.releases.set(name, release);
            held();
        }));
    });
}

function releaseStored(name) {
    const release = page.releases.get(name);
    if (release) {
        page.releases.delete(name);
        release();
    }
}

// The stored files of this page that were there when it opened.
async function listLeftovers() {
    const names = [];
    try {
        const root = await storageRoot();
        for await (const name of root.keys()) {
            if (name.startsWith(STORED_PREFIX)) {
                names.push(name);
            }
        }
    } catch (error) {
        // No private storage: the worker says so.
    }
    return names;
}

// Removes each once no tab holds it: at once for what a closed or reloaded
// tab left, whenever its tab lets go of it for a file another tab offers.
function removeLeftovers(names) {
    for (const name of names) {
        if (navigator.locks) {
            navigator.locks.request(name, () => removeStored(name)).catch(() => {});
        } else {
            removeStored(name);
        }
    }
}

function startWorker() {
    page.worker = new Worker('worker.js');
    page.worker.onmessage = (event) => onWorkerMessage(event.data);
}

function resetButtons() {
    element('save').hidden = true;
    element('free').hidden = true;
}

async function pick(file) {
    // This tab's own files come after the leftovers were listed.
    await page.leftoversListed;
    if (!file || page.busy) {
        return;
    }
    notice('');
    showText('');
    resetButtons();
    element('progress').hidden = true;
    if (page.stored) {
        const name = page.stored;
        page.stored = null;
        removeStored(name).then(() => releaseStored(name));
    }
    if (page.downloadUrl) {
        URL.revokeObjectURL(page.downloadUrl);
        page.downloadUrl = null;
    }
    setBusy(true);
    page.pickedBytes = file.size;
    page.worker.postMessage({type: 'identify', file});
}

// Asks to keep the storage, without waiting on a browser that asks the player.
function askPersistence() {
    if (navigator.storage.persist) {
        Promise
            .race([
                navigator.storage.persist(),
                new Promise((resolve) => setTimeout(resolve, 1000)),
            ])
            .catch(() => {});
    }
}

async function startPatch() {
    try {
        const estimate = await navigator.storage.estimate();
        const free = estimate.quota - estimate.usage;
        if (free < neededBytes()) {
            notice(noRoomText(neededBytes(), free));
            setBusy(false);
            return;
        }
    } catch (error) {
        // No estimate: the writes themselves tell when the room runs out.
    }
    askPersistence();
    element('bar').value = 0;
    element('figures').textContent = '';
    element('progress').hidden = false;
    const name = `${STORED_PREFIX}${Date.now()}-${Math.random().toString(36).slice(2)}`;
    page.patching = name + '.iso';
    page.copyName = name + '.source';
    await Promise.all([ holdStored(page.patching), holdStored(page.copyName) ]);
    page.startTime = performance.now();
    page.worker.postMessage({type: 'patch', name: page.patching, copyName: page.copyName});
}

// The output, and where the patch works on a copy of the image, the copy.
function neededBytes() {
    return page.targetBytes + (page.copies ? page.pickedBytes : 0);
}

function minutesAndSeconds(seconds) {
    const whole = Math.max(0, Math.round(seconds));
    return `${Math.floor(whole / 60)}:${String(whole % 60).padStart(2, '0')}`;
}

function showProgress(message) {
    const share = message.written / message.total;
    const percent = Math.min(100, Math.floor(share * 100));
    const seconds = (performance.now() - page.startTime) / 1000;
    const rate = seconds > 0 ? message.written / seconds : 0;
    const left = rate > 0 ? (message.total - message.written) / rate : 0;
    element('bar').value = percent;
    element('figures').textContent =
        `${percent} % · ${(rate / 1e6).toFixed(1)} MB/s · quedan ${minutesAndSeconds(left)}`;
}

function onWorkerMessage(message) {
    switch (message.type) {
    case 'ready':
        page.copies = message.copies;
        if (message.privateRefused || !message.supported) {
            notice(message.privateRefused ? PRIVATE : UNSUPPORTED);
            element('image').disabled = true;
        }
        break;
    case 'identified':
        showText(message.text);
        page.outputName = message.outputName;
        page.targetBytes = message.targetBytes;
        if (message.found) {
            startPatch();
        } else {
            setBusy(false);
        }
        break;
    case 'damaged':
        notice(damagedText(message.file));
        element('progress').hidden = true;
        setBusy(false);
        break;
    case 'copying':
        element('figures').textContent =
            `${COPYING} ${Math.floor((100 * message.done) / message.total)} %`;
        break;
    case 'progress':
        showProgress(message);
        break;
    case 'redub':
        element('bar').value = 100;
        element('figures').textContent = REDUB;
        break;
    case 'finished':
        finish(message);
        break;
    }
}

// What the storage refused, in words that say what helps.
function refusalText(refusal) {
    if (refusal === 'private') {
        return PRIVATE;
    }
    return refusal === 'quota' ? noRoomText(neededBytes(), 0) : UNSUPPORTED;
}

function finish(message) {
    setBusy(false);
    const name = page.patching;
    page.patching = null;
    releaseStored(page.copyName);
    if (message.outcome === 0) {
        showText(page.text + '\n\n' + message.text);
        page.stored = message.stored;
        element('figures').textContent = '100 %';
        element('save').hidden = false;
        element('save').focus();
        return;
    }
    page.stored = null;
    releaseStored(name);
    element('progress').hidden = true;
    // A storage refusal is not the patch failing: the module's failure line
    // would send the player looking at the image.
    if (message.refusal) {
        notice(refusalText(message.refusal));
    } else {
        showText(page.text + '\n\n' + message.text);
    }
}

async function cancel() {
    if (!page.busy || page.cancelling) {
        return;
    }
    // The worker goes, and its file after it: the player is told that
    // nothing is stored only once that is so.
    page.cancelling = true;
    page.worker.terminate();
    startWorker();
    const name = page.patching;
    page.patching = null;
    page.stored = null;
    element('progress').hidden = true;
    showText('');
    const removed = name ? (await removeStored(name)) && (await removeStored(page.copyName))
                         : true;
    releaseStored(name);
    releaseStored(page.copyName);
    page.cancelling = false;
    setBusy(false);
    notice(removed ? CANCELLED : CANCELLED_LEFT);
    element('image').focus();
}

async function storedFile() {
    const root = await storageRoot();
    return (await root.getFileHandle(page.stored)).getFile();
}

async function save() {
    if (!page.stored) {
        return;
    }
    let file = null;
    try {
        file = await storedFile();
    } catch (error) {
        notice(SAVE_FAILED);
        return;
    }
    if (window.showSaveFilePicker) {
        try {
            const handle = await window.showSaveFilePicker({suggestedName: page.outputName});
            const writable = await handle.createWritable();
            await file.stream().pipeTo(writable);
            notice('');
            showText(page.text);
            element('figures').textContent = SAVED_PICKER;
            element('free').hidden = false;
            element('free').focus();
        } catch (error) {
            if (error.name !== 'AbortError') {
                notice(SAVE_FAILED);
            }
        }
        return;
    }
    // The browser streams the stored file to the download: nothing is loaded.
    const link = document.createElement('a');
    link.href = URL.createObjectURL(file);
    link.download = page.outputName;
    document.body.append(link);
    link.click();
    link.remove();
    page.downloadUrl = link.href;
    element('figures').textContent = SAVED_DOWNLOAD;
    element('free').hidden = false;
    element('free').focus();
}

async function free() {
    if (page.downloadUrl) {
        URL.revokeObjectURL(page.downloadUrl);
        page.downloadUrl = null;
    }
    if (page.stored) {
        const name = page.stored;
        page.stored = null;
        await removeStored(name);
        releaseStored(name);
    }
    resetButtons();
    element('figures').textContent = FREED;
    element('image').focus();
}

function setUp() {
    const drop = element('drop');
    element('image').addEventListener('change', (event) => pick(event.target.files[0]));
    drop.addEventListener('dragover', (event) => {
        event.preventDefault();
        drop.classList.add('over');
    });
    drop.addEventListener('dragleave', () => drop.classList.remove('over'));
    drop.addEventListener('drop', (event) => {
        event.preventDefault();
        drop.classList.remove('over');
        pick(event.dataTransfer.files[0]);
    });
    element('cancel').addEventListener('click', cancel);
    element('save').addEventListener('click', save);
    element('free').addEventListener('click', free);
    document.addEventListener('keydown', (event) => {
        if (event.key === 'Escape') {
            cancel();
        }
    });
    if (!window.Worker || !navigator.storage || !navigator.storage.getDirectory) {
        notice(UNSUPPORTED);
        element('image').disabled = true;
        return;
    }
    page.leftoversListed = listLeftovers();
    page.leftoversListed.then(removeLeftovers);
    startWorker();
}

setUp();

// The offline copy (service-worker.js); the page works the same without it.
if ('serviceWorker' in navigator) {
    navigator.serviceWorker.register('service-worker.js').catch(() => {});
}
