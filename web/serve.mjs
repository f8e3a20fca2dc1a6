// A static server for the page on 127.0.0.1, for trying it (scripts/demo
// --web) and for the browser tests. `node web/serve.mjs FOLDER [PORT]`.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const TYPES = {
    '.html' : 'text/html; charset=utf-8',
    '.js' : 'text/javascript; charset=utf-8',
    '.mjs' : 'text/javascript; charset=utf-8',
    '.css' : 'text/css; charset=utf-8',
    '.wasm' : 'application/wasm',
    '.webmanifest' : 'application/manifest+json',
    '.png' : 'image/png',
};

// Serves folder; `damage(name, bytes)` may change a file on its way out, as
// a broken host or connection would. Resolves to {url, close}.
export function serve(folder, {port = 0, damage = null} = {}) {
    const root = path.resolve(folder);
    const server = http.createServer((request, response) => {
        const name = decodeURIComponent(new URL(request.url, 'http://host').pathname);
        const file = path.join(root, name === '/' ? 'index.html' : name);
        if (!file.startsWith(root + path.sep)) {
            response.writeHead(403).end();
            return;
        }
        fs.readFile(file, (error, bytes) => {
            if (error) {
                response.writeHead(404).end();
                return;
            }
            const body = damage ? damage(path.basename(file), bytes) : bytes;
            response.writeHead(200, {
                'Content-Type' : TYPES[path.extname(file)] || 'application/octet-stream',
                'Cache-Control' : 'no-store',
            });
            response.end(body);
        });
    });
    return new Promise((resolve) => {
        server.listen(port, '127.0.0.1', () => {
            resolve({
                url: `http://127.0.0.1:${server.address().port}/`,
                close: () => new Promise((done) => server.close(done)),
            });
        });
    });
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
    const folder = process.argv[2];
    if (!folder) {
        console.error('usage: node serve.mjs FOLDER [PORT]');
        process.exit(2);
    }
    const {url} = await serve(folder, {port: Number(process.argv[3] || 8000)});
    console.log(`La página del parche está en ${url} (Ctrl+C para terminar).`);
}
