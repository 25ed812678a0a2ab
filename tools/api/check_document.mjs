// Validates an AsyncAPI document with the AsyncAPI initiative's own parser:
// the document's structure, its references and every schema and example.
//
//   node tools/api/check_document.mjs [doc/asyncapi.yaml]
//
// Prints each diagnostic; exits 1 when any is an error or a warning.
import { Parser } from '@asyncapi/parser';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const here = path.dirname(fileURLToPath(import.meta.url));
const file = process.argv[2] ?? path.join(here, '..', '..', 'doc', 'asyncapi.yaml');
const severities = ['error', 'warning', 'info', 'hint'];

const parser = new Parser();
const { document, diagnostics } = await parser.parse(readFileSync(file, 'utf8'), { source: file });
let failed = document === undefined;
for (const d of diagnostics) {
    const severity = severities[d.severity] ?? String(d.severity);
    failed ||= d.severity <= 1;
    console.log(`${severity}: ${d.code}: ${d.message} at ${d.path.join('.')}`);
}
if (failed) {
    console.log(`check_document: ${file} is not a valid AsyncAPI document`);
    process.exit(1);
}
const messages = document.allMessages().length;
console.log(`check_document: ${file} is valid AsyncAPI ${document.version()} (${document.channels().length} channels, ${messages} messages)`);
