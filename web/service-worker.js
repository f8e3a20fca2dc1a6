'use strict';
// Keeps a copy of the page, so that a player who opened it once can patch
// without the network. The build puts SITE before this: every file of the
// folder with its SHA-256, and a version made from them, so that any new
// build is a new service worker and the browser installs it on the next visit.
//
// Every request for a file of the page goes to the network first: online,
// the player always gets what the host serves now, as without this worker;
// only when the network fails does the copy answer. The copy is made whole
// when this version installs, each file checked against its SHA-256, so it
// never mixes files of two builds nor keeps a file damaged on the way.

const CACHE_PREFIX = 'parche-veltrane-';
const cacheName = () => CACHE_PREFIX + self.registration.scope + ' ' + SITE.version;

async function sha256(bytes) {
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
    return Array.from(digest, (byte) => byte.toString(16).padStart(2, '0')).join('');
}

async function fillCache() {
    const cache = await caches.open(cacheName());
    for (const file of SITE.files) {
        const response = await fetch(file.name, {cache: 'no-store'});
        const bytes = await response.arrayBuffer();
        if (!response.ok || (await sha256(bytes)) !== file.sha256) {
            throw new Error(`${file.name} did not arrive as built`);
        }
        const headers = {'Content-Type': response.headers.get('Content-Type') || ''};
        await cache.put(file.name, new Response(bytes, {headers}));
    }
}

self.addEventListener('install', (event) => {
    // A copy that could not be made whole is dropped: the previous version,
    // if any, keeps answering offline.
    event.waitUntil(fillCache()
                        .catch(async (error) => {
                            await caches.delete(cacheName());
                            throw error;
                        })
                        .then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
    const ours = CACHE_PREFIX + self.registration.scope + ' ';
    event.waitUntil((async () => {
        for (const name of await caches.keys()) {
            if (name.startsWith(ours) && name !== cacheName()) {
                await caches.delete(name);
            }
        }
        // The page that installed the copy can already patch offline.
        await self.clients.claim();
    })());
});

// The file of the page a request is for, or null for anything else.
function siteFile(url) {
    const scope = self.registration.scope;
    if (!url.startsWith(scope)) {
        return null;
    }
    const name = url.slice(scope.length).replace(/[?#].*$/, '') || 'index.html';
    return SITE.files.some((file) => file.name === name) ? name : null;
}

async function fromCopy(name) {
    const cache = await caches.open(cacheName());
    return (await cache.match(name)) || Response.error();
}

self.addEventListener('fetch', (event) => {
    const name = event.request.method === 'GET' ? siteFile(event.request.url) : null;
    if (name) {
        event.respondWith(fetch(event.request).catch(() => fromCopy(name)));
    }
});
