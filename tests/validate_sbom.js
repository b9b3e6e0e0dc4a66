// Validates a CycloneDX JSON document against the official schema of its specVersion, with the schemas
// and the validator that CycloneDX's own JavaScript library ships: node validate_sbom.js FILE
'use strict';
const fs = require('fs');
const CDX = require('@cyclonedx/cyclonedx-library');

const text = fs.readFileSync(process.argv[2], 'utf8');
const version = JSON.parse(text).specVersion;
new CDX.Validation.JsonStrictValidator(version).validate(text).then(
    (errors) => {
        if (errors === null) {
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
