{{ config(materialized='ephemeral') }}
select id, name from {{ source('erp', 'customers') }};
