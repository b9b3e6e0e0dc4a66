// Validates a CycloneDX JSON document against the official schema of its specVersion, with the schemas
// and the validator that CycloneDX's own JavaScript library ships, and each licence expression in it
// (a plain string to the schema) with spdx-expression-parse: node validate_sbom.js FILE
'use strict';
const fs = require('fs');
const CDX = require('@cyclonedx/cyclonedx-library');
const parseSpdx = require('spdx-expression-parse');

const text = fs.readFileSync(process.argv[2], 'utf8');
const bom = JSON.parse(text);
const version = bom.specVersion;

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

new CDX.Validation.JsonStrictValidator(version).validate(text).then(
    (errors) => {
        const bad = badExpressions(bom.metadata.component);
        for (const part of bom.components || [])
            bad.push(...badExpressions(part));
        if (bad.length) {
            console.error(`${process.argv[2]}: not SPDX licence expressions:\n  ${bad.join('\n  ')}`);
            process.exitCode = 1;
        } else if (errors === null) {
            console.log(`${process.argv[2]}: valid CycloneDX ${version}`);
        } else {
            console.error(`${process.argv[2]}: NOT valid CycloneDX ${version}:`);
            console.error(JSON.stringify(errors, null, 2));
            process.exitCode = 1;
        }
    },
    (error) => {
        console.error(`${process.argv[2]}: could not validate: ${error.message}`);
        process.exitCode = 2;
    });
