// Validates CycloneDX JSON documents against the official schema of their specVersion, with the schemas
// and the validator that CycloneDX's own JavaScript library ships, and each licence expression in them
// (a plain string to the schema) with spdx-expression-parse: node validate_sbom.js FILE...
// One line per file, "FILE: valid ..." or "FILE: NOT valid ..."; status 1 if any is not valid, 2 if one
// could not be checked.
'use strict';
const fs = require('fs');
const CDX = require('@cyclonedx/cyclonedx-library');
const parseSpdx = require('spdx-expression-parse');

function badExpressions(component) {
    const bad = [];
    for (const licence of component.licenses || []) {
        if (licence.expression !== undefined) {
            try {
                parseSpdx(licence.expression);
            } catch (error) {
                bad.push(`${component.name}: "${licence.expression}": ${error.message}`);
            }
        }
    }
    for (const part of component.components || [])
        bad.push(...badExpressions(part));
    return bad;
}

const validators = {};  // one per specVersion: compiling the schema is the slow part

async function validate(file) {
    const text = fs.readFileSync(file, 'utf8');
    const bom = JSON.parse(text);
    const version = bom.specVersion;
    validators[version] = validators[version] || new CDX.Validation.JsonStrictValidator(version);
    const errors = await validators[version].validate(text);
    const bad = badExpressions(bom.metadata.component);
    for (const part of bom.components || [])
        bad.push(...badExpressions(part));
    if (bad.length)
        return [1, `${file}: NOT valid: not SPDX licence expressions: ${bad.join('; ')}`];
    if (errors !== null)
        return [1, `${file}: NOT valid CycloneDX ${version}: ${JSON.stringify(errors)}`];
    return [0, `${file}: valid CycloneDX ${version}`];
}

(async () => {
    for (const file of process.argv.slice(2)) {
        try {
            const [status, line] = await validate(file);
            (status ? console.error : console.log)(line);
            process.exitCode = Math.max(process.exitCode || 0, status);
        } catch (error) {
            console.error(`${file}: could not validate: ${error.message}`);
            process.exitCode = 2;
        }
    }
})();
